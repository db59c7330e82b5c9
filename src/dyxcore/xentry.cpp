#include "dyxcore/xentry.h"

#include <cstdio>

#include "dyxcore/context.h"
#include "dyxcore/path.h"
#include "dyxcore/platform.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"

namespace {

constexpr char kSeparator = dyxplatform::kPathSeparator;

const char* const kPropertyNames[kPropertyCount + 1] = {
    "",      "Name",  "Ext",   "Location", "Size", "CTime",   "MTime",
    "ATime", "Owner", "Group", "Flags",    "Type", "Content", "Status"};

const char* const kMonthNames[12] = {"January",   "February", "March",    "April",
                                     "May",       "June",     "July",     "August",
                                     "September", "October",  "November", "December"};

bool calendarOf(std::int32_t value, dyxplatform::CalendarTime& out) {
  if (value < 0) return false;
  const std::uint64_t fileTime = static_cast<std::uint64_t>(static_cast<std::uint32_t>(value))
                                 << 32;
  return dyxplatform::toCalendarUtc(dyxplatform::unixSecondsFromFileTime(fileTime), out);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// DyxTime

int DyxTime::getYear() const {
  dyxplatform::CalendarTime c;
  return calendarOf(m_value, c) ? c.year : 0;
}

int DyxTime::getMonth() const {
  dyxplatform::CalendarTime c;
  return calendarOf(m_value, c) ? c.month : 0;
}

int DyxTime::getDay() const {
  dyxplatform::CalendarTime c;
  return calendarOf(m_value, c) ? c.day : 0;
}

void DyxTime::getDayMonthYear(int& day, int& month, int& year) const {
  dyxplatform::CalendarTime c;
  if (!calendarOf(m_value, c)) {
    day = month = year = 0;
    return;
  }
  day = c.day;
  month = c.month;
  year = c.year;
}

std::int64_t DyxTime::toUnixSeconds() const {
  const std::uint64_t fileTime = static_cast<std::uint64_t>(static_cast<std::uint32_t>(m_value))
                                 << 32;
  return dyxplatform::unixSecondsFromFileTime(fileTime);
}

std::string DyxTime::toString() const {
  dyxplatform::CalendarTime c;
  if (!calendarOf(m_value, c)) return "----/--/-- --:--:--";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%d/%02d/%02d %02d:%02d:%02d", c.year, c.month, c.day,
                c.hour, c.minute, c.second);
  return buffer;
}

std::string DyxTime::monthName(int month) {
  if (month < 1 || month > 12) return std::string();
  return kMonthNames[month - 1];
}

std::ostream& operator<<(std::ostream& os, DyxTime time) { return os << time.toString(); }

// ---------------------------------------------------------------------------------------------
// Property table

int propertyId(const std::string& name) {
  for (int id = 1; id <= kPropertyCount; ++id) {
    if (name == kPropertyNames[id]) return id;
  }
  return kPropNone;
}

std::string propertyName(int id) {
  if (id < 1 || id > kPropertyCount) return std::string();
  return kPropertyNames[id];
}

std::vector<int> propertyIds() {
  std::vector<int> ids;
  for (int id = 1; id <= kPropertyCount; ++id) ids.push_back(id);
  return ids;
}

std::vector<std::string> propertyNames() {
  std::vector<std::string> names;
  for (int id = 1; id <= kPropertyCount; ++id) names.emplace_back(kPropertyNames[id]);
  return names;
}

// ---------------------------------------------------------------------------------------------
// DyxEntry

DyxEntry::DyxEntry(const std::string& name, std::uint32_t dirKey, DyxEntryRepository* repository)
    : m_id(repository ? repository->intern(name) : 0),
      m_pid(dirKey),
      m_repository(repository ? repository->number() : 0) {}

std::string_view DyxEntry::getName() const {
  const DyxEntryRepository* repository = getRepository();
  if (repository == nullptr) return std::string_view();
  return repository->textOf(m_id);
}

std::string DyxEntry::getShortName() const {
  const std::string_view name = getName();
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::string(name);
  return std::string(name.substr(0, dot));
}

std::string DyxEntry::getExtension() const {
  const std::string_view name = getName();
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::string();
  return std::string(name.substr(dot + 1));
}

std::string DyxEntry::getDirectoryText() const { return std::string(getDirectoryView()); }

std::string_view DyxEntry::getDirectoryView() const {
  const DyxEntryRepository* repository = getRepository();
  if (repository == nullptr || m_pid == 0) return std::string_view();
  return repository->textOf(m_pid);
}

std::string DyxEntry::getFullName() const {
  const DyxEntryRepository* repository = getRepository();
  if (repository == nullptr) return std::string();
  const std::string_view name = repository->textOf(m_id);
  if (m_pid == 0) return std::string(name);
  const std::string_view dir = repository->textOf(m_pid);
  if (dir.empty()) return std::string(name);
  std::string full;
  full.reserve(dir.size() + 1 + name.size());
  full.append(dir);
  // The root directory's text already ends with the separator.
  if (dir.back() != kSeparator) full.push_back(kSeparator);
  full.append(name);
  return full;
}

DyxPath DyxEntry::getLocation() const {
  if (getRepository() == nullptr || m_pid == 0) return DyxPath();
  return DyxPath(getDirectoryText());
}

std::string DyxEntry::statusText(std::int32_t status) {
  switch (status) {
    case kStatusNormal:
      return "Normal";
    case kStatusLocked:
      return "Locked";
    case kStatusIOError:
      return "I/O Error";
    default:
      return "Unknown";
  }
}

std::string DyxEntry::getStatusText() const { return statusText(m_status); }

std::string DyxEntry::getType() const {
  DyxEntryTyper* types = DyxContext::types();
  // Without a type manager no type accepts the entry.
  return types != nullptr ? types->getType(*this) : std::string("<no-type>");
}

void DyxEntry::getTypes(std::vector<std::string>& types) const {
  types.clear();
  if (DyxEntryTyper* typer = DyxContext::types()) typer->getTypes(*this, types);
}

std::string DyxEntry::getProperty(int id) const {
  switch (id) {
    case kPropName:
      return std::string(getName());
    case kPropExt:
      return getExtension();
    case kPropLocation:
    case kPropContent:
      return getFullName();
    case kPropMTime:
      return getMTime().toString();
    case kPropType:
      return getType();
    case kPropStatus:
      return getStatusText();
    default:
      // Size, the other times, owner, group and flags read as empty text; sizes are compared
      // through getSize.
      return std::string();
  }
}

std::string DyxEntry::getProperty(const std::string& name) const {
  return getProperty(propertyId(name));
}

dyxplatform::FileInfoResult DyxEntry::readFileInformation(dyxplatform::FileInfo& info) {
  int error = 0;
  dyxplatform::Env& env =
      getRepository() != nullptr ? getRepository()->env() : dyxplatform::Env::current();
  const dyxplatform::FileInfoResult result = env.readFileInfo(getFullName(), info, &error);
  applyStatus(result, error);
  return result;
}

void DyxEntry::applyStatus(dyxplatform::FileInfoResult result, int error) {
  switch (result) {
    case dyxplatform::FileInfoResult::kOk:
      m_status = kStatusNormal;
      break;
    case dyxplatform::FileInfoResult::kInfoFailed:
      KX_POS(kxerr) << "Cannot get information for file: " << getFullName() << endl;
      m_status = kStatusLocked;
      break;
    case dyxplatform::FileInfoResult::kVanished:
      KX_POS(kxerr) << "The file no longer exists: " << getFullName() << endl;
      break;
    case dyxplatform::FileInfoResult::kOpenFailed:
    case dyxplatform::FileInfoResult::kLookupFailed:
      KX_POS(kxerr) << "Cannot open file: " << getFullName() << " ("
                    << dyxplatform::errorText(error) << ")" << endl;
      m_status = kStatusIOError;
      break;
  }
}

bool DyxEntry::refresh() {
  bool vanished = false;
  return refresh(vanished);
}

bool DyxEntry::refresh(bool& vanished) {
  dyxplatform::FileInfo info;
  int error = 0;
  dyxplatform::Env& env =
      getRepository() != nullptr ? getRepository()->env() : dyxplatform::Env::current();
  const dyxplatform::FileInfoResult result = env.readFileInfo(getFullName(), info, &error);
  return refreshFrom(result, info, error, vanished);
}

bool DyxEntry::refreshFrom(dyxplatform::FileInfoResult result, const dyxplatform::FileInfo& info,
                           int error, bool& vanished, bool sizeCounts) {
  applyStatus(result, error);
  vanished = result == dyxplatform::FileInfoResult::kVanished;
  std::int32_t t = 0;
  std::uint64_t size = 0;
  switch (result) {
    case dyxplatform::FileInfoResult::kOk:
    case dyxplatform::FileInfoResult::kOpenFailed:
      t = dyxplatform::highPart(info.lastWriteTime);
      size = info.size;
      break;
    case dyxplatform::FileInfoResult::kLookupFailed:
      // Nothing is known of the file: no date rather than a made-up one.
      t = DyxTime::kUnset;
      break;
    case dyxplatform::FileInfoResult::kInfoFailed:
    case dyxplatform::FileInfoResult::kVanished:
      // Nothing usable was read: keep the stored time stamp and size rather than compare
      // against undefined data.
      return false;
  }
  if (t == m_mtime && (!sizeCounts || size == getSize())) return false;
  m_mtime = t;
  m_reserved2 = 0;
  setSize(size);
  return true;
}

namespace {
void writeLine2(std::ostream& os, const DyxEntry& e) {
  os << "[name=" << e.getName() << ",status=" << e.getStatusText()
     << ",short_name=" << e.getShortName() << ",full_name=" << e.getFullName()
     << ",ext=" << e.getExtension() << ",dir=" << e.getLocation() << ",size=" << e.getSize()
     << ",mtime=" << e.getMTime().toString() << ",uname="
     << ",gname="
     << ",type=" << e.getType() << "]";
}
void writeLine3(std::ostream& os, const DyxEntry& e) {
  os << "[id=" << e.getId() << ",pid=" << e.getPid() << "]";
}
}  // namespace

void DyxEntry::dump(std::ostream& os) const {
  os << "------------------ entry ---------------------------" << std::endl;
  writeLine2(os, *this);
  os << std::endl;
  writeLine3(os, *this);
  os << std::endl;
  os << "----------------------------------------------------" << std::endl;
}

std::ostream& operator<<(std::ostream& os, const DyxEntry& entry) {
  writeLine2(os, entry);
  os << '\n';
  writeLine3(os, entry);
  return os;
}

// ---------------------------------------------------------------------------------------------
// On-disk record

namespace {
void putWord(unsigned char* out, std::uint32_t v) {
  out[0] = static_cast<unsigned char>(v);
  out[1] = static_cast<unsigned char>(v >> 8);
  out[2] = static_cast<unsigned char>(v >> 16);
  out[3] = static_cast<unsigned char>(v >> 24);
}
std::uint32_t getWord(const unsigned char* in) {
  return static_cast<std::uint32_t>(in[0]) | (static_cast<std::uint32_t>(in[1]) << 8) |
         (static_cast<std::uint32_t>(in[2]) << 16) | (static_cast<std::uint32_t>(in[3]) << 24);
}
}  // namespace

void DyxEntry::toRecord(unsigned char out[kRecordBytes]) const {
  putWord(out + 0, m_id);
  putWord(out + 4, m_pid);
  putWord(out + 8, m_reserved2);
  putWord(out + 12, static_cast<std::uint32_t>(m_mtime));
  putWord(out + 16, m_sizeLow);
  putWord(out + 20, m_sizeHigh);
  putWord(out + 24, static_cast<std::uint32_t>(m_status));
  putWord(out + 28, 0);
}

void DyxEntry::fromRecord(const unsigned char in[kRecordBytes], DyxEntryRepository* repository) {
  m_id = getWord(in + 0);
  m_pid = getWord(in + 4);
  m_reserved2 = getWord(in + 8);
  m_mtime = static_cast<std::int32_t>(getWord(in + 12));
  m_sizeLow = getWord(in + 16);
  m_sizeHigh = getWord(in + 20);
  m_status = static_cast<std::int32_t>(getWord(in + 24));
  m_repository = repository != nullptr ? repository->number() : 0;
}
