// What the scan and the saves do when the file system refuses, each fault made on demand by an
// environment that fails chosen calls (no special rights needed): a listing cut short keeps
// every entry it did not reach, a name gone before it is read is no file, a directory that
// cannot be opened is named and the rest of the tree is read, and a save that cannot be written
// or renamed into place leaves the previous files byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "dyxcore/mutex.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/xentryrep.h"
#include "kxcore/notice.h"
#include "pool_testing.h"
#include "support/fault_env.h"

namespace {

using Keys = std::vector<std::string>;

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() : m_cwd(m_tmp.path()), m_pool(m_env) { KxNotices::clear(); }
  ~FaultTest() override {
    m_pool.clear();
    DyxEntryRepository::deleteAllRepositories();
    KxNotices::clear();
  }
  // root/f0.txt .. root/f5.txt, root/sub/s.txt, root/other/o.txt
  std::string makeTree() {
    const std::string r = m_tmp / "root";
    for (int i = 0; i < 6; ++i)
      quarrytest::writeFile(r + quarrytest::nativePath("/f") + std::to_string(i) + ".txt", "x");
    quarrytest::writeFile(r + quarrytest::nativePath("/sub/s.txt"), "s");
    quarrytest::writeFile(r + quarrytest::nativePath("/other/o.txt"), "o");
    return r;
  }
  Keys namesIn(const std::string& dir) {
    DyxEngineLock lock;
    DyxPhysicalDirectory* d = m_pool.findPhysicalDirectory(dir);
    return d != nullptr ? pooltest::names(*d) : Keys{"<no directory>"};
  }

  quarrytest::TempDir m_tmp;
  quarrytest::CwdGuard m_cwd;
  quarrytest::FaultEnv m_env;
  pooltest::RecordingNotifier m_views;
  DyxPhysicalDirs m_pool;
};

TEST_F(FaultTest, AListingCutShortKeepsTheEntriesItDidNotReachAndSaysSo) {
  const std::string r = makeTree();
  m_pool.setFilter("true");
  ASSERT_TRUE(m_pool.addPhysicalDirectory(r, false, false));
  const Keys all{"f0.txt", "f1.txt", "f2.txt", "f3.txt", "f4.txt", "f5.txt"};
  ASSERT_EQ(namesIn(r), all);
  KxNotices::clear();

  m_env.failListingAfter(r, 2, EIO);
  std::shared_ptr<DyxPhysicalDirectory> dir = m_pool.acquirePhysicalDirectory(r);
  ASSERT_TRUE(dir);
  dir->scan(false, nullptr, nullptr);
  EXPECT_GT(m_env.faultsMade(), 0);
  EXPECT_EQ(dir->listError(), EIO);
  EXPECT_EQ(namesIn(r), all) << "names past the error are unknown, not gone";
  EXPECT_TRUE(m_views.removed().empty());
  const std::vector<KxNotice> notices = KxNotices::take();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].kind, KxNoticeKind::kUnreadable);
  EXPECT_EQ(notices[0].path, r);
  EXPECT_NE(notices[0].reason.find("the listing stopped part way"), std::string::npos)
      << notices[0].reason;
}

TEST_F(FaultTest, ANameGoneBeforeItIsReadIsNoFileAndNoNotice) {
  const std::string r = makeTree();
  m_env.vanish(r + quarrytest::nativePath("/f3.txt"));
  m_env.vanish(r + quarrytest::nativePath("/sub/s.txt"));
  m_pool.setFilter("true");
  ASSERT_TRUE(m_pool.addPhysicalDirectory(r, true, false));
  EXPECT_GE(m_env.faultsMade(), 2);
  EXPECT_EQ(namesIn(r), (Keys{"f0.txt", "f1.txt", "f2.txt", "f4.txt", "f5.txt"}));
  EXPECT_EQ(namesIn(r + quarrytest::nativePath("/sub")), Keys{});
  EXPECT_EQ(namesIn(r + quarrytest::nativePath("/other")), Keys{"o.txt"});
  EXPECT_EQ(m_views.added().count("f3.txt"), 0u);
  EXPECT_TRUE(KxNotices::take().empty());
}

TEST_F(FaultTest, ADirectoryThatCannotBeOpenedIsNamedAndTheRestIsRead) {
  const std::string r = makeTree();
  m_env.failOpenDirectory(r + quarrytest::nativePath("/sub"), EACCES);
  m_pool.setFilter("true");
  ASSERT_TRUE(m_pool.addPhysicalDirectory(r, true, false));
  EXPECT_GT(m_env.faultsMade(), 0);
  EXPECT_EQ(m_pool.directoryKeys(), (Keys{r, r + quarrytest::nativePath("/other")}));
  EXPECT_EQ(namesIn(r + quarrytest::nativePath("/other")), Keys{"o.txt"});
  EXPECT_EQ(namesIn(r).size(), 6u);
  const std::vector<KxNotice> notices = KxNotices::take();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].kind, KxNoticeKind::kUnreadable);
  EXPECT_EQ(notices[0].path, r + quarrytest::nativePath("/sub"));
  EXPECT_EQ(notices[0].reason, dyxplatform::errorText(EACCES));

  // The directory asked for by name cannot be opened either: the addition fails with a notice.
  m_env.failOpenDirectory(m_tmp / "alone", EACCES);
  quarrytest::makeDirs(m_tmp / "alone");
  EXPECT_FALSE(m_pool.addPhysicalDirectory(m_tmp / "alone", false, false));
  EXPECT_EQ(KxNotices::take().size(), 1u);
}

TEST_F(FaultTest, ASaveThatCannotBeWrittenOrRenamedKeepsThePreviousFiles) {
  DyxEntryRepository repo("faulty", 8, m_env);
  repo.createEntry("first", "/d", false);
  ASSERT_TRUE(repo.save());
  const std::string text = quarrytest::readFile("faulty.txt");
  const std::string data = quarrytest::readFile("faulty.data");
  ASSERT_FALSE(text.empty());
  repo.createEntry("second", "/d", false);

  const struct {
    const char* what;
    void (*inject)(quarrytest::FaultEnv&);
    const char* failedFile;
    int error;
  } cases[] = {
      {"the disk fills up while the data file is written",
       [](quarrytest::FaultEnv& env) { env.failWritesTo("faulty.data", ENOSPC); }, "faulty.data",
       ENOSPC},
      {"the disk fills up while the text file is written",
       [](quarrytest::FaultEnv& env) { env.failWritesTo("faulty.txt", ENOSPC); }, "faulty.txt",
       ENOSPC},
      {"the new text file cannot be renamed into place",
       [](quarrytest::FaultEnv& env) { env.failRenameTo("faulty.txt", EIO); }, "faulty.txt", EIO},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    quarrytest::FaultEnv env;
    DyxEntryRepository faulty("faulty", 8, env);
    faulty.createEntry("first", "/d", false);
    faulty.createEntry("second", "/d", false);
    c.inject(env);
    KxNotices::clear();
    EXPECT_FALSE(faulty.save());
    EXPECT_GT(env.faultsMade(), 0);
    EXPECT_EQ(quarrytest::readFile("faulty.txt"), text);
    EXPECT_EQ(quarrytest::readFile("faulty.data"), data);
    // No temporary file is left beside the targets.
    std::vector<dyxplatform::DirItem> items;
    ASSERT_TRUE(dyxplatform::listDirectory(".", items));
    for (const auto& item : items)
      EXPECT_EQ(item.name.find(".tmp"), std::string::npos) << item.name;
    const std::vector<KxNotice> notices = KxNotices::take();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].kind, KxNoticeKind::kNotSaved);
    EXPECT_EQ(notices[0].path, c.failedFile);
    EXPECT_EQ(notices[0].reason.rfind(dyxplatform::errorText(c.error), 0), 0u) << notices[0].reason;
    EXPECT_NE(notices[0].reason.find("its previous files are unchanged"), std::string::npos);
  }
  {
    // The text file is in place when the data file's rename fails: the user hears the truth.
    quarrytest::FaultEnv env;
    DyxEntryRepository faulty("faulty", 8, env);
    faulty.createEntry("third", "/d", false);
    env.failRenameTo("faulty.data", EIO);
    KxNotices::clear();
    EXPECT_FALSE(faulty.save());
    const std::vector<KxNotice> notices = KxNotices::take();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].path, "faulty.data");
    EXPECT_NE(notices[0].reason.find("the saved pair no longer matches"), std::string::npos)
        << notices[0].reason;
    EXPECT_NE(quarrytest::readFile("faulty.txt"), text);
    EXPECT_EQ(quarrytest::readFile("faulty.data"), data);
  }
  // Without the faults the same save goes through.
  EXPECT_TRUE(repo.save());
  EXPECT_NE(quarrytest::readFile("faulty.txt"), text);
}

}  // namespace
