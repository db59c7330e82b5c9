#include "dyxcore/pview.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/testutil.h"
#include "dyxcore/dyx.h"
#include "dyxcore/environ.h"
#include "dyxcore/typeman.h"
#include "dyxcore/viewman.h"
#include "dyxcore/viewplaces.h"
#include "dyxcore/xentry.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/io.h"
#include "kxcore/tracecapture.h"

namespace {

using quarrytest::TraceCapture;

// The file time of a UTC calendar moment, reduced to the stored 32-bit time stamp.
DyxTime timeOf(std::int64_t unixSeconds) {
  const std::uint64_t fileTime =
      static_cast<std::uint64_t>(unixSeconds + 11644473600LL) * 10000000ULL;
  return DyxTime::fromFileTime(fileTime);
}

class PredefinedViewTest : public ::testing::Test {
 protected:
  PredefinedViewTest() : m_cwd(m_dir.path()), m_repository("pview_test", 256) {
    Dyx::getEnviron().setPreference("NameCase", false);
    Dyx::getEnviron().setPreference("ExtCase", false);
  }

  DyxEntry* entry(const std::string& name, const std::string& dir = "/data") {
    DyxEntry* e = m_repository.createEntry(name, dir, false);
    EXPECT_NE(e, nullptr) << name;
    return e;
  }

  std::vector<std::string> placesOf(const DyxView& view, const DyxEntry* e) const {
    return quarrytest::placesOf(m_manager, view, e);
  }

  quarrytest::TempDir m_dir;
  quarrytest::CwdGuard m_cwd;
  DyxViewManager m_manager;  // declared before the views and entries it indexes
  DyxEntryRepository m_repository;
};

using Places = std::vector<std::string>;

TEST_F(PredefinedViewTest, SizeRangesKeepInclusiveKiloAndExclusiveMegaBounds) {
  struct Case {
    std::uint64_t size;
    const char* folder;
  };
  const Case cases[] = {
      {0, "<null>"},
      {1, "0 to 1Ko"},
      {1024, "0 to 1Ko"},
      {1025, "1 to 10Ko"},
      {10240, "1 to 10Ko"},
      {10241, "10 to 100Ko"},
      {102400, "10 to 100Ko"},
      {102401, "100Ko to 1Mo"},
      {1048575, "100Ko to 1Mo"},
      {1048576, "1 to 10Mo"},
      {10485759, "1 to 10Mo"},
      {10485760, "10 to 100Mo"},
      {104857599, "10 to 100Mo"},
      {104857600, "100Mo to 1Go"},
      {1073741823, "100Mo to 1Go"},
      {1073741824, "more than 1Go"},
      // Sizes past 32 bits must not wrap into the small ranges or read as errors.
      {2147483648ULL, "more than 1Go"},
      {4294967295ULL, "more than 1Go"},
      {4294967296ULL, "more than 1Go"},
      {4294967296ULL + 100, "more than 1Go"},
      {5ULL << 40, "more than 1Go"},
      {UINT64_MAX, "<in error>"},
  };
  DyxSizeView view(nullptr, false);
  EXPECT_EQ(view.getViewName(), "<DyxSizeView>");
  EXPECT_TRUE(view.getKind().isPhysical());
  std::vector<DyxEntry*> entries;
  for (const Case& c : cases) {
    DyxEntry* e = entry("f" + std::to_string(entries.size()));
    e->setSize(c.size);
    EXPECT_TRUE(view.mapEntry(e, nullptr));
    entries.push_back(e);
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(placesOf(view, entries[i]), Places{cases[i].folder}) << "size " << cases[i].size;
  }
}

TEST_F(PredefinedViewTest, NameAndExtensionFoldersFollowTheCasePreferences) {
  struct Case {
    const char* name;
    bool caseKept;
    const char* nameFolder;
    const char* extFolder;
  };
  const Case cases[] = {
      {".profile", false, "<hidden>", "profile"},
      {".Profile", true, "<hidden>", "Profile"},
      {"Readme", false, "r", "<empty>"},
      {"Readme", true, "R", "<empty>"},
      {"photo.JPG", false, "p", "jpg"},
      {"photo.JPG", true, "p", "JPG"},
      {"archive.tar.gz", false, "a", "gz"},
      {"Makefile", false, "m", "<empty>"},
      {"trailing.", false, "t", "<empty>"},
      {"\xc3\xa9t\xc3\xa9.TXT", false, "\xc3", "txt"},  // only ASCII letters fold
  };
  for (const Case& c : cases) {
    Dyx::getEnviron().setPreference("NameCase", c.caseKept);
    Dyx::getEnviron().setPreference("ExtCase", c.caseKept);
    DyxNameView names(nullptr, false);
    DyxExtensionView exts(nullptr, false);
    DyxEntry* e = entry(c.name);
    ASSERT_TRUE(names.mapEntry(e, nullptr));
    ASSERT_TRUE(exts.mapEntry(e, nullptr));
    EXPECT_EQ(placesOf(names, e), Places{c.nameFolder}) << c.name << " case " << c.caseKept;
    EXPECT_EQ(placesOf(exts, e), Places{c.extFolder}) << c.name << " case " << c.caseKept;
  }
}

TEST_F(PredefinedViewTest, ExtensionlessNameIsReportedAndFiledUnderEmpty) {
  TraceCapture errors;
  DyxExtensionView view(nullptr, false);
  DyxEntry* e = entry("Makefile");
  EXPECT_TRUE(view.mapEntry(e, nullptr));
  EXPECT_TRUE(errors.has("Am empty path has been returned."));
  EXPECT_EQ(placesOf(view, e), Places{"<empty>"});
  EXPECT_EQ(view.getFolderCount(), 1u);
}

TEST_F(PredefinedViewTest, DatePathIsYearMonthNameTwoDigitDay) {
  struct Case {
    std::int64_t unixSeconds;  // -1: unset time stamp
    const char* place;
  };
  const Case cases[] = {
      {1078488000, "2004/March/05"},        // 2004-03-05 12:00 UTC
      {1078444800 + 600, "2004/March/05"},  // just after midnight UTC, no local-time shift
      {1104000000, "2004/December/25"},     // 2004-12-25 18:40 UTC
      {951825600, "2000/February/29"},      // leap day
      {43200, "1970/January/01"},
  };
  DyxMDateView view(nullptr, false);
  for (const Case& c : cases) {
    DyxEntry* e = entry("f" + std::to_string(c.unixSeconds));
    e->setMTime(timeOf(c.unixSeconds));
    ASSERT_TRUE(view.mapEntry(e, nullptr));
    EXPECT_EQ(placesOf(view, e), Places{c.place}) << c.unixSeconds;
    EXPECT_EQ(view.getFolderForEntry(e).toString('/'), std::string("/") + c.place);
  }
}

TEST_F(PredefinedViewTest, TimeStampWithoutCalendarDateGoesToEmpty) {
  DyxMDateView view(nullptr, false);
  const std::int32_t values[] = {DyxTime::kUnset, -2, INT32_MIN};
  for (std::int32_t value : values) {
    DyxEntry* e = entry("t" + std::to_string(value));
    e->setMTime(DyxTime(value));
    ASSERT_TRUE(view.mapEntry(e, nullptr));
    EXPECT_EQ(placesOf(view, e), Places{"<empty>"}) << value;
    EXPECT_EQ(view.getFolderForEntry(e).count(), 0) << value;
  }
  // A fresh entry's time stamp is 0, the first interval of 1601: a real date.
  DyxEntry* fresh = entry("fresh");
  ASSERT_TRUE(view.mapEntry(fresh, nullptr));
  EXPECT_EQ(placesOf(view, fresh), Places{"1601/January/01"});
}

TEST_F(PredefinedViewTest, LocationRepeatsTheDirectoryTree) {
  DyxPhysView view(nullptr, false);
  DyxEntry* deep = entry("app.log", "/data/logs");
  DyxEntry* sibling = entry("b.log", "/data/logs");
  DyxEntry* upper = entry("readme", "/data");
  DyxEntry* homeless = m_repository.createEntry("orphan");
  for (DyxEntry* e : {deep, sibling, upper, homeless}) ASSERT_TRUE(view.mapEntry(e, nullptr));
  EXPECT_EQ(placesOf(view, deep), Places{"data/logs"});
  EXPECT_EQ(placesOf(view, sibling), Places{"data/logs"});
  EXPECT_EQ(placesOf(view, upper), Places{"data"});
  EXPECT_EQ(placesOf(view, homeless), Places{"<empty>"});
  // One folder per component, shared by every entry below it.
  EXPECT_EQ(view.getFolderCount(), 2u);  // data and <empty>
  EXPECT_EQ(view.getSubFolder("data")->getFolderCount(), 1u);
  EXPECT_EQ(view.getSubFolder("data")->getSubFolder("logs")->getEntryCount(), 2);
}

TEST_F(PredefinedViewTest, LocationRunOfOneDirectorySurvivesTheRemovalOfItsFolder) {
  DyxPhysView view(nullptr, false);
  DyxEntry* first = entry("a.log", "/data/logs");
  DyxEntry* second = entry("b.log", "/data/logs");
  ASSERT_TRUE(view.mapEntry(first, nullptr));
  ASSERT_TRUE(view.mapEntry(second, nullptr));
  // The folder of the run goes while no entry of it is left; the next entry of the same
  // directory must get a new folder, not the destroyed one.
  view.removeEntry(first, true);
  view.removeEntry(second, true);
  view.removeEmptyFolders();
  ASSERT_EQ(view.getFolderCount(), 0u);
  DyxEntry* third = entry("c.log", "/data/logs");
  ASSERT_TRUE(view.mapEntry(third, nullptr));
  EXPECT_EQ(placesOf(view, third), Places{"data/logs"});
  // Alternating directories, with the trace on and off, land where their paths say. With the
  // trace on, an entry of the directory filed last still takes the traced way.
  DyxEntry* other = entry("d.log", "/data/other");
  DyxEntry* sameDirectory = entry("f.log", "/data/other");
  DyxEntry* back = entry("e.log", "/data/logs");
  ASSERT_TRUE(view.mapEntry(other, nullptr));
  {
    TraceCapture trace;
    ASSERT_TRUE(view.mapEntry(sameDirectory, nullptr));
    EXPECT_NE(trace.text().find("DyxPhysView::getFoldersForEntry"), std::string::npos)
        << trace.text();
  }
  ASSERT_TRUE(view.mapEntry(back, nullptr));
  EXPECT_EQ(placesOf(view, sameDirectory), Places{"data/other"});
  EXPECT_EQ(placesOf(view, other), Places{"data/other"});
  EXPECT_EQ(placesOf(view, back), Places{"data/logs"});
  EXPECT_EQ(view.getSubFolder("data")->getSubFolder("logs")->getEntryCount(), 2);
}

TEST_F(PredefinedViewTest, StatusFolderNameKeepsItsSlash) {
  struct Case {
    std::int32_t status;
    const char* folder;
  };
  const Case cases[] = {
      {kStatusNormal, "Normal"},
      {kStatusLocked, "Locked"},
      {kStatusIOError, "I/O Error"},
      {kStatusIOError, "I/O Error"},  // a second one finds the existing folder
      {7, "Unknown"},
  };
  DyxStatus view(nullptr, false);
  int n = 0;
  for (const Case& c : cases) {
    DyxEntry* e = entry("s" + std::to_string(n++));
    e->setStatus(c.status);
    ASSERT_TRUE(view.mapEntry(e, nullptr));
    EXPECT_EQ(placesOf(view, e), Places{c.folder}) << c.status;
  }
  EXPECT_EQ(view.getSubFolder("I"), nullptr);
  ASSERT_NE(view.getSubFolder("I/O Error"), nullptr);
  EXPECT_EQ(view.getSubFolder("I/O Error")->getEntryCount(), 2);
  EXPECT_EQ(view.getFolderCount(), 4u);
}

TEST_F(PredefinedViewTest, FlatOwnerAndGroupViews) {
  DyxFlatView flat(nullptr, false);
  DyxOwner owners(nullptr, false);
  DyxGroup groups(nullptr, false);
  DyxEntry* a = entry("a.txt");
  DyxEntry* b = entry("b.txt", "/other");
  for (DyxView* view : std::vector<DyxView*>{&flat, &owners, &groups}) {
    ASSERT_TRUE(view->mapEntry(a, nullptr));
    ASSERT_TRUE(view->mapEntry(b, nullptr));
  }
  EXPECT_EQ(placesOf(flat, a), Places{"<flat>"});
  EXPECT_EQ(placesOf(flat, b), Places{"<flat>"});
  EXPECT_EQ(placesOf(owners, a), Places{"<empty>"});
  EXPECT_EQ(placesOf(groups, b), Places{"<empty>"});
}

TEST_F(PredefinedViewTest, TypePathsSplitAtDotsOnePerType) {
  quarrytest::writeFile(m_dir / "type.ini",
                        "Any \"true\"\n"
                        "Image \"true\"\n"
                        "Image.Photo \"true\"\n"
                        "Image.Drawing \"<undef>\"\n"
                        "Never \"<undef>\"\n");
  Dyx::getTypeManager().reset(m_dir / "type.ini");
  DyxType view(nullptr, false);
  DyxEntry* e = entry("x.jpg");
  ASSERT_TRUE(view.mapEntry(e, nullptr));
  EXPECT_EQ(placesOf(view, e), (Places{"Any", "Image/Photo"}));
  EXPECT_EQ(view.getFolderForEntry(e).toString('/'), "/Any");

  Dyx::getTypeManager().clear();
  DyxEntry* untyped = entry("y.jpg");
  ASSERT_TRUE(view.mapEntry(untyped, nullptr));
  EXPECT_EQ(placesOf(view, untyped), Places{"<empty>"});
}

TEST_F(PredefinedViewTest, FactoriesBuildTheirViewsAndFillThemOnlyOnRequest) {
  struct Case {
    std::unique_ptr<DyxViewFactory> factory;
    const char* name;
  };
  Case cases[] = {
      {std::make_unique<DyxSizeViewFactory>(), "<DyxSizeView>"},
      {std::make_unique<DyxFlatViewFactory>(), "<DyxFlatView>"},
      {std::make_unique<DyxNameViewFactory>(), "<DyxNameView>"},
      {std::make_unique<DyxExtensionViewFactory>(), "<DyxExtensionView>"},
      {std::make_unique<DyxMDateViewFactory>(), "<DyxMDateView>"},
      {std::make_unique<DyxPhysViewFactory>(), "<DyxPhysView>"},
      {std::make_unique<DyxOwnerFactory>(), "<DyxOwner>"},
      {std::make_unique<DyxGroupFactory>(), "<DyxGroup>"},
      {std::make_unique<DyxTypeFactory>(), "<DyxType>"},
      {std::make_unique<DyxStatusFactory>(), "<DyxStatus>"},
  };
  quarrytest::makeDirs(m_dir / "conf/views");
  for (Case& c : cases) {
    std::unique_ptr<DyxView> view = c.factory->create(nullptr, true);
    ASSERT_NE(view, nullptr) << c.name;
    EXPECT_EQ(view->getViewName(), c.name);
    EXPECT_TRUE(view->getKind().isPhysical()) << c.name;
    EXPECT_TRUE(view->isRoot()) << c.name;
    EXPECT_EQ(view->getFolderCount(), 0u) << c.name;
    view->markModified();
    view->save();  // no view file behind a predefined view
    EXPECT_FALSE(view->isModified()) << c.name;
    EXPECT_FALSE(quarrytest::fileExists(m_dir / (std::string("conf/views/") + c.name + ".kx")));
  }
}

TEST_F(PredefinedViewTest, PlainPhysicalViewHasNoRule) {
  DyxPhysicalView view("<bare>", nullptr);
  DyxEntry* e = entry("a.txt");
  std::vector<DyxPath> paths(2);
  EXPECT_FALSE(view.getFoldersForEntry(e, paths));
  EXPECT_TRUE(paths.empty());
  EXPECT_EQ(view.getFolderForEntry(e).count(), 0);
  ASSERT_TRUE(view.mapEntry(e, nullptr));
  EXPECT_EQ(placesOf(view, e), Places{"<empty>"});
}

}  // namespace
