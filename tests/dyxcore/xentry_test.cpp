#include "dyxcore/xentry.h"

#include <gtest/gtest.h>

#include <sstream>

#include "dyxcore/path.h"
#include "dyxcore/platform.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"
#include "support/testutil.h"

namespace {

using quarrytest::nativePath;

// Sets a file's last-write time to a given 1601-based file time.
void setWriteTime(const std::string& path, std::uint64_t fileTime) {
  ASSERT_TRUE(quarrytest::setLastWriteTime(path, fileTime)) << path;
}

}  // namespace

TEST(DyxTimeText, TextFormsAndCalendarFields) {
  struct Case {
    std::int32_t value;
    const char* text;
  };
  const Case cases[] = {
      {-1, "----/--/-- --:--:--"},
      {-5, "----/--/-- --:--:--"},  // no calendar date for negative values
      {0, "1601/01/01 00:00:00"},
      // The interval that holds 2004-03-05 12:00:00 UTC starts at 11:57:14.
      {static_cast<std::int32_t>(((1078488000ULL + 11644473600ULL) * 10000000ULL) >> 32),
       "2004/03/05 11:57:14"},
  };
  for (const auto& c : cases) EXPECT_EQ(DyxTime(c.value).toString(), c.text) << c.value;

  const DyxTime march(cases[3].value);
  int d = 0, m = 0, y = 0;
  march.getDayMonthYear(d, m, y);
  EXPECT_EQ(d, 5);
  EXPECT_EQ(m, 3);
  EXPECT_EQ(y, 2004);
  EXPECT_EQ(march.getYear(), 2004);
  EXPECT_EQ(DyxTime::monthName(march.getMonth()), "March");
  EXPECT_EQ(DyxTime(-7).getMonth(), 0);
  EXPECT_EQ(DyxTime::monthName(0), "");
  EXPECT_EQ(DyxTime::monthName(13), "");
  EXPECT_FALSE(DyxTime().isSet());
  EXPECT_TRUE(DyxTime(-2) < DyxTime(0));  // signed comparison
}

TEST(DyxPropertyTable, IdsAndNames) {
  EXPECT_EQ(propertyIds().size(), 13u);
  EXPECT_EQ(propertyNames().front(), "Name");
  EXPECT_EQ(propertyNames().back(), "Status");
  for (int id : propertyIds()) EXPECT_EQ(propertyId(propertyName(id)), id);
  EXPECT_EQ(propertyId("name"), 0);  // case-sensitive
  EXPECT_EQ(propertyId(""), 0);
  EXPECT_EQ(propertyName(0), "");
  EXPECT_EQ(propertyName(14), "");
}

TEST(DyxEntryNames, ShortNamesExtensionsAndFullNames) {
  DyxEntryRepository repo("", 16);
  struct Case {
    const char* name;
    const char* shortName;
    const char* ext;
  };
  const Case cases[] = {
      {"archive.tar.gz", "archive.tar", "gz"},
      {".bashrc", ".bashrc", "bashrc"},
      {"README", "README", ""},
      {"trailing.", "trailing", ""},
      {"UPPER.TXT", "UPPER", "TXT"},
  };
  for (const auto& c : cases) {
    DyxEntry* e = repo.createEntry(c.name, nativePath("/data/dir one"), false);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->getName(), c.name);
    EXPECT_EQ(e->getShortName(), c.shortName) << c.name;
    EXPECT_EQ(e->getExtension(), c.ext) << c.name;
    EXPECT_EQ(e->getFullName(), nativePath("/data/dir one/") + c.name);
    EXPECT_EQ(e->getLocation().toString(), nativePath("/data/dir one"));
  }
  DyxEntry* noDir = repo.createEntry("lonely.txt");
  EXPECT_EQ(noDir->getPid(), 0u);
  EXPECT_EQ(noDir->getFullName(), "lonely.txt");
  EXPECT_TRUE(noDir->getLocation().isEmpty());
  DyxEntry* atRoot = repo.createEntry("top", nativePath("/"), false);
  EXPECT_EQ(atRoot->getFullName(), nativePath("/top"));

  const DyxEntry orphan;
  EXPECT_EQ(orphan.getName(), "");
  EXPECT_EQ(orphan.getFullName(), "");
}

TEST(DyxEntryProperties, ValuesByIdAndName) {
  DyxEntryRepository repo("", 4);
  DyxEntry* e = repo.createEntry("photo.JPG", nativePath("/pics"), true);
  e->setSize(5ULL << 32 | 7);
  e->setMTime(DyxTime(0));
  EXPECT_EQ(e->getSize(), (5ULL << 32) | 7);
  EXPECT_EQ(e->getProperty(kPropName), "photo.JPG");
  EXPECT_EQ(e->getProperty("Ext"), "JPG");
  EXPECT_EQ(e->getProperty(kPropLocation), nativePath("/pics/photo.JPG"));
  EXPECT_EQ(e->getProperty(kPropContent), e->getProperty(kPropLocation));
  EXPECT_EQ(e->getProperty(kPropMTime), "1601/01/01 00:00:00");
  EXPECT_EQ(e->getProperty("Status"), "Normal");
  for (int id : {0, 4, 5, 7, 8, 9, 10, 14, -1}) {
    EXPECT_EQ(e->getProperty(id), "") << id;  // the size is known, yet "Size" reads empty
  }
  EXPECT_EQ(e->getProperty("name"), "");
  const std::pair<std::int32_t, const char*> statuses[] = {
      {0, "Normal"}, {1, "Locked"}, {2, "I/O Error"}, {7, "Unknown"}, {-1, "Unknown"}};
  for (const auto& [status, text] : statuses) {
    e->setStatus(status);
    EXPECT_EQ(e->getStatusText(), text);
  }
}

TEST(DyxEntryRecord, EightLittleEndianWordsWithTheSizeHighInWordFive) {
  DyxEntryRepository repo("", 4);
  DyxEntry* e = repo.createEntry("a", "/d", false);
  e->setMTime(DyxTime(0x01020304));
  e->setSize(0x0000000A0B0C0D0EULL);
  e->setStatus(kStatusLocked);
  unsigned char rec[DyxEntry::kRecordBytes];
  e->toRecord(rec);
  const unsigned char expected[32] = {2, 0, 0, 0, 1, 0,    0,    0,    0,    0,    0,
                                      0, 4, 3, 2, 1, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0,
                                      0, 0, 1, 0, 0, 0,    0,    0,    0,    0};
  EXPECT_EQ(std::string(reinterpret_cast<char*>(rec), 32),
            std::string(reinterpret_cast<const char*>(expected), 32));
  DyxEntry back;
  back.fromRecord(rec, &repo);
  EXPECT_EQ(back.getSize(), 0x0000000A0B0C0D0EULL);
  EXPECT_EQ(back.getMTime(), DyxTime(0x01020304));
  EXPECT_EQ(back.getName(), "a");
}

TEST(DyxEntryRefresh, FreshEntryThenChangeThenSameIntervalIsNoChange) {
  quarrytest::TempDir dir;
  const std::string path = dir / "f.txt";
  quarrytest::writeFile(path, "12345");
  DyxEntryRepository repo("", 4);
  DyxEntry* e = repo.createEntry("f.txt", dir.path(), false);
  EXPECT_EQ(e->getMTime(), DyxTime(0));  // fresh: 0, not unset
  EXPECT_EQ(e->getSize(), 0u);

  // Start of an interval, then one minute later: the same 429.5-second time stamp.
  const std::uint64_t base = (static_cast<std::uint64_t>(31000000) << 32);
  setWriteTime(path, base);
  EXPECT_TRUE(e->refresh());
  EXPECT_EQ(e->getMTime(), DyxTime(31000000));
  EXPECT_EQ(e->getSize(), 5u);

  quarrytest::writeFile(path, "1234567890");
  setWriteTime(path, base + 60ULL * 10000000ULL);
  EXPECT_FALSE(e->refresh());
  EXPECT_EQ(e->getSize(), 5u);  // not re-read within the interval

  setWriteTime(path, base + (1ULL << 32));  // the next interval
  EXPECT_TRUE(e->refresh());
  EXPECT_EQ(e->getSize(), 10u);
  EXPECT_EQ(e->getStatus(), kStatusNormal);
}

TEST(DyxEntryRefresh, HostileFilesGetTheirStatus) {
  QUARRY_SKIP_WITHOUT_LINUX_FS("Symbolic links, FIFOs, permission bits and newlines in names");
  quarrytest::TempDir dir;
  quarrytest::writeFile(dir / "plain", "p");
  quarrytest::makeSymlink("nowhere", dir / "dangling");
  quarrytest::makeSymlink("loop2", dir / "loop1");
  quarrytest::makeSymlink("loop1", dir / "loop2");
  quarrytest::makeFifo(dir / "fifo");
  quarrytest::writeFile(dir / "secret", "s");
  quarrytest::setMode(dir / "secret", 0);
  quarrytest::writeFile(dir / "new\nline", "n");
  const bool root = dyxplatform::isPrivileged();

  // Every name that exists shows the size and time that stat gives (of the link itself when it
  // leads nowhere), readable or not; a name that is gone is no file.
  struct Case {
    const char* name;
    std::int32_t status;
    bool vanished;
  };
  const Case cases[] = {
      {"plain", kStatusNormal, false},
      {"dangling", kStatusIOError, false},
      {"loop1", kStatusIOError, false},
      {"fifo", kStatusNormal, false},
      {"secret", root ? kStatusNormal : kStatusIOError, false},
      {"new\nline", kStatusNormal, false},
      {"vanished", kStatusNormal, true},
  };
  DyxEntryRepository repo("", 16);
  quarrytest::TraceCapture err;
  for (const auto& c : cases) {
    DyxEntry* e = repo.createEntry(c.name, dir.path(), false);
    bool vanished = false;
    EXPECT_EQ(e->refresh(vanished), !c.vanished) << c.name;
    EXPECT_EQ(vanished, c.vanished) << c.name;
    EXPECT_EQ(e->getStatus(), c.status) << c.name;
    const std::string path = dir / c.name;
    if (c.vanished) {
      EXPECT_EQ(e->getMTime(), DyxTime(0)) << c.name;  // untouched
      continue;
    }
    std::uint64_t size = 0;
    std::uint64_t writeTime = 0;
    ASSERT_TRUE(quarrytest::statOrLstat(path, size, writeTime)) << c.name;
    EXPECT_EQ(e->getSize(), size) << c.name;
    EXPECT_EQ(e->getMTime(), DyxTime::fromFileTime(writeTime)) << c.name;
  }
  EXPECT_NE(
      err.text().find("Cannot open file: " + dir.path() + quarrytest::nativePath("/dangling")),
      std::string::npos);
}

TEST(DyxEntryDump, BlockAndStreamForm) {
  DyxEntryRepository repo("", 4);
  DyxEntry* e = repo.createEntry("a.txt", nativePath("/d"), false);
  e->setSize(12);
  std::ostringstream os;
  e->dump(os);
  const std::string line2 =
      "[name=a.txt,status=Normal,short_name=a,full_name=" + nativePath("/d/a.txt") +
      ",ext=txt,dir=" + nativePath("/d") +
      ",size=12,"
      "mtime=1601/01/01 00:00:00,uname=,gname=,type=" +
      e->getType() + "]";
  EXPECT_EQ(os.str(), "------------------ entry ---------------------------\n" + line2 +
                          "\n[id=2,pid=1]\n"
                          "----------------------------------------------------\n");
  std::ostringstream brief;
  brief << *e;
  EXPECT_EQ(brief.str(), line2 + "\n[id=2,pid=1]");
}
