#include "dyxcore/view.h"

#include <ostream>

#include "kxcore/io.h"

DyxViewKind DyxViewKind::fromLetter(const std::string& letter) {
  if (letter == "P") return DyxViewKind(kPhysical);
  if (letter == "U") return DyxViewKind(kUser);
  if (letter == "F") return DyxViewKind(kFilter);
  return DyxViewKind(kNone);
}

const char* DyxViewKind::kindLetter() const {
  switch (m_value) {
    case kPhysical:
      return "P";
    case kUser:
      return "U";
    case kFilter:
      return "F";
    default:
      return "<unknown>";
  }
}

DyxView::DyxView(const std::string& viewName)
    : DyxViewFolder(std::string()), m_viewName(viewName) {}

DyxView::~DyxView() = default;

bool DyxView::isRoot() const { return true; }

void DyxView::dump(std::ostream& out) const {
  out << "name: \"" << m_viewName << "\", kind: " << getKind().kindLetter()
      << ", rt: " << (isRoot() ? "true" : "false") << ", mod: " << (m_modified ? "true" : "false")
      << '\n';
}

DyxViewKind DyxView::getKind() const { return DyxViewKind(DyxViewKind::kNone); }

void DyxView::save() { markNotModified(); }

void DyxView::update(DyxPhysicalDirs* /*pool*/) {}

void DyxView::remapEntry(DyxEntry* /*entry*/, DyxScanObserver* /*observer*/) {}

bool DyxView::mapEntry(DyxEntry* /*entry*/, DyxScanObserver* /*observer*/) { return true; }

bool DyxView::mapEntries(std::span<DyxEntry* const> entries, DyxScanObserver* observer) {
  for (DyxEntry* entry : entries) {
    if (!mapEntry(entry, observer)) return false;
  }
  return true;
}

void DyxView::markModified() {
  KX_SCOPE("DyxView::markModified");
  m_modified = true;
}

void DyxView::markNotModified() {
  KX_SCOPE("DyxView::markNotModified");
  m_modified = false;
}
