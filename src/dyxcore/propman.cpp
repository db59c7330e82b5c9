#include "dyxcore/propman.h"

#include "dyxcore/portable.h"
#include "kxcore/io.h"

const std::string* DyxPropertyRecord::getValue(const std::string& name) const {
  auto it = m_properties.find(name);
  return it == m_properties.end() ? nullptr : &it->second.second;
}

void DyxPropertyRecord::setValue(const std::string& name, const std::string& value) {
  if (isValidName(name)) {
    m_properties[name] = Property(name, value);
  } else {
    m_properties[name] = Property();
  }
}

void DyxPropertyRecord::addProperty(const Property& property) {
  if (m_properties.count(property.first) != 0) {
    KX_POS(kxerr) << "The given property already exist: [" << property.first << "="
                  << property.second << "]" << endl;
    return;
  }
  m_properties[property.first] = property;
}

void DyxPropertyRecord::getProperties(std::vector<Property>& list) const {
  list.clear();
  for (const auto& [key, pair] : m_properties) list.push_back(pair);
}

DyxPropertyRecord* DyxEntryProperty::getRecord(const std::string& fileName, bool create) {
  if (fileName.empty()) {
    KX_POS(kxerr) << "The given file name is empty." << endl;
    return nullptr;
  }
  auto it = m_records.find(fileName);
  if (it != m_records.end()) return it->second.get();
  if (!create) return nullptr;
  auto& slot = m_records[fileName];
  slot = std::make_unique<DyxPropertyRecord>();
  return slot.get();
}

bool DyxEntryProperty::removeRecord(const std::string& fileName) {
  return m_records.erase(fileName) != 0;
}

bool DyxEntryProperty::load(const std::string& name) {
  (void)name;
  return false;
}

bool DyxEntryProperty::save(const std::string& name) const {
  (void)name;
  return false;
}
