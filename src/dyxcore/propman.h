// The entry property store: user properties (named text values) attached to file names, one
// DyxPropertyRecord per file name, loaded from and saved to ".prp" property files.
//
// Ownership: the store owns its records; a record owns its pairs. Pointers handed out by
// getRecord stay valid until removeRecord of that name or the end of the store. The facade owns
// the single store (Dyx::getPropertyManager()).
//
// Threads: no lock. Filter evaluation only reads the store; a caller that loads a file while
// views evaluate filters serialises both (engine lock, mutex.h).
//
// Property file lines: "# " + file name starts a record, "name \"value\"" is a property of the
// record above. Names and values that this plain form cannot carry so that they read back exactly
// (a value holding a double quote, a line end or a zero byte, ending with a backslash or too long
// for the reader's 255-character line; a file name that is not a single word; a property key
// that is not a valid name, is not a single word, begins with a quote or is "#") are written in an
// escaped form of our own instead:
// "#\ " + encoded file name, and "\ " + encoded key + " " + encoded value, where the encoding
// writes each blank, control byte, double quote and backslash as a backslash and two hex
// digits. Every other record and value is written exactly in the plain form.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class DyxPropertyRecord {
 public:
  // (name, value); the name equals the key unless the key is not a valid name.
  using Property = std::pair<std::string, std::string>;

  DyxPropertyRecord() = default;
  DyxPropertyRecord(const DyxPropertyRecord&) = delete;
  DyxPropertyRecord& operator=(const DyxPropertyRecord&) = delete;

  // The value, or nullptr when the record has no such property. Valid until the next change.
  const std::string* getValue(const std::string& name) const;
  // Stores (name, value) under the name, replacing an existing one. A name that is not valid
  // (isValidName) gets an empty pair.
  void setValue(const std::string& name, const std::string& value);
  // Stores the pair unless its name already has a value: then a message and no change.
  void addProperty(const Property& property);
  // Empties `list`, then appends every pair in name order.
  void getProperties(std::vector<Property>& list) const;
  // Keys and pairs, in name order.
  const std::map<std::string, Property>& properties() const { return m_properties; }

 private:
  std::map<std::string, Property> m_properties;
};

class DyxEntryProperty {
 public:
  DyxEntryProperty() = default;
  ~DyxEntryProperty() = default;
  DyxEntryProperty(const DyxEntryProperty&) = delete;
  DyxEntryProperty& operator=(const DyxEntryProperty&) = delete;

  // The record of a file name. Empty name: a message and nullptr. Without a record: a new one
  // with `create`, else nullptr.
  DyxPropertyRecord* getRecord(const std::string& fileName, bool create);
  // Destroys the record; false when there was none.
  bool removeRecord(const std::string& fileName);
  // Adds the records of name + ".prp" to the store (existing values of the same names are
  // replaced). False when the file cannot be opened.
  bool load(const std::string& name);
  // Writes every record to name + ".prp", beside the target and renamed into place. False when
  // it cannot be written (the earlier file is then untouched).
  bool save(const std::string& name) const;

  std::size_t size() const { return m_records.size(); }
  const std::map<std::string, std::unique_ptr<DyxPropertyRecord>>& records() const {
    return m_records;
  }

 private:
  std::map<std::string, std::unique_ptr<DyxPropertyRecord>> m_records;
};
