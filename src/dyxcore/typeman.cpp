#include "dyxcore/typeman.h"

#include "dyxcore/xentry.h"
#include "kxcore/io.h"

DyxFileType::DyxFileType(const std::string& name, const std::string& criterion)
    : m_name(name), m_filter(criterion) {}

DyxTypeManager::DyxTypeManager(const std::string& file) : m_file(file) { reset(file); }

DyxTypeManager::~DyxTypeManager() {
  KX_SCOPE("DyxTypeManager::~DyxTypeManager");
  clear();
}

void DyxTypeManager::reset(const std::string& file) {
  if (!file.empty()) m_file = file;
}

void DyxTypeManager::clear() {
  KX_SCOPE("DyxTypeManager::clear");
  m_types.clear();
}

std::string DyxTypeManager::getType(const DyxEntry& entry) const {
  for (const auto& [name, type] : m_types) {
    if (type.getFilter().evaluate(entry)) return name;
  }
  return kNoType;
}

void DyxTypeManager::getTypes(const DyxEntry& entry, std::vector<std::string>& types) const {
  types.clear();
  (void)entry;
}
