// The engine lock knows which thread holds it, and a reader whose contract requires the lock
// stops a debug or sanitizer build when it is called without it, naming itself.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "dyxcore/mutex.h"
#include "dyxcore/path.h"
#include "dyxcore/pdirs.h"
#include "dyxcore/xentryrep.h"
#include "support/testutil.h"

namespace {

TEST(EngineLock, KnowsWhetherTheCallingThreadHoldsIt) {
  EXPECT_FALSE(DyxEngineLock::isHeldByCaller());
  {
    DyxEngineLock outer;
    EXPECT_TRUE(DyxEngineLock::isHeldByCaller());
    {
      DyxEngineLock inner;  // recursive
      inner.unlock();
      EXPECT_TRUE(DyxEngineLock::isHeldByCaller()) << "the outer hold remains";
      inner.lock();
    }
    bool heldElsewhere = true;
    std::thread other([&] { heldElsewhere = DyxEngineLock::isHeldByCaller(); });
    other.join();
    EXPECT_FALSE(heldElsewhere) << "another thread does not hold it";
    outer.unlock();
    EXPECT_FALSE(DyxEngineLock::isHeldByCaller());
  }
  EXPECT_FALSE(DyxEngineLock::isHeldByCaller());
}

TEST(EngineLockDeathTest, AGuardedReadWithoutTheLockStopsTheProgram) {
#ifdef NDEBUG
  GTEST_SKIP() << "release builds leave the check out";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  quarrytest::TempDir tmp;
  quarrytest::CwdGuard cwd(tmp.path());
  quarrytest::writeFile(tmp / "dir/a.txt", "a");
  const std::string dir = tmp / "dir";
  auto pool = std::make_unique<DyxPhysicalDirs>();
  pool->setFilter("true");
  ASSERT_TRUE(pool->addPhysicalDirectory(dir, false, false));
  DyxPhysicalDirectory* directory = nullptr;
  {
    DyxEngineLock lock;
    directory = pool->findPhysicalDirectory(dir);
    ASSERT_NE(directory, nullptr);
    EXPECT_NE(directory->findEntry("a.txt"), nullptr);
    EXPECT_NE(pool->getEntry(DyxPath(dir + "/a.txt")), nullptr);
    EXPECT_EQ(directory->entryCount(), 1u);
  }
  const struct {
    const char* reader;
    std::function<void()> read;
  } cases[] = {
      {"DyxPhysicalDirs::findPhysicalDirectory", [&] { pool->findPhysicalDirectory(dir); }},
      {"DyxPhysicalDirs::getEntry", [&] { pool->getEntry(DyxPath(dir + "/a.txt")); }},
      {"DyxPhysicalDirectory::findEntry", [&] { directory->findEntry("a.txt"); }},
      {"DyxPhysicalDirectory::entryCount", [&] { directory->entryCount(); }},
      {"DyxPhysicalDirectory::sortedEntries", [&] { directory->sortedEntries(); }},
  };
  for (const auto& c : cases) {
    EXPECT_DEATH(c.read(), std::string(c.reader) + " called without the engine lock") << c.reader;
  }
  pool->clear();
  DyxEntryRepository::deleteAllRepositories();
#endif
}

}  // namespace
