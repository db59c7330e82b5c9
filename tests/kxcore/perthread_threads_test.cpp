// Objects owned by a thread: destroyed on that thread when it ends, also those that a
// destructor makes, and never shared between threads.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kxcore/perthread.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_destroyed;  // "name@thread", in the order of destruction

std::string threadTag(std::thread::id id) {
  std::ostringstream out;
  out << id;
  return out.str();
}

struct Noted {
  explicit Noted(std::string n, bool makeMoreWhenDestroyed = false)
      : name(std::move(n)), more(makeMoreWhenDestroyed) {}
  ~Noted() {
    {
      std::lock_guard<std::mutex> guard(g_mutex);
      g_destroyed.push_back(name + "@" + threadTag(std::this_thread::get_id()));
    }
    // A destructor that writes a trace line makes the thread's line buffer anew.
    if (more) kxthread::makeOwned<Noted>(name + "+late");
  }
  std::string name;
  bool more;
};

Noted& threadNoted() {
  thread_local Noted* mine = nullptr;
  if (mine == nullptr) mine = kxthread::makeOwned<Noted>("cached");
  return *mine;
}

TEST(PerThread, ObjectsEndWithTheirThreadInReverseOrder) {
  g_destroyed.clear();
  Noted* seenA = nullptr;
  Noted* seenB = nullptr;
  std::string tagA;
  std::string tagB;
  // Both threads live at once, so their ids and objects are told apart.
  std::mutex made;
  std::condition_variable madeChanged;
  int madeCount = 0;
  const auto bothMade = [&] {
    std::unique_lock<std::mutex> lock(made);
    ++madeCount;
    madeChanged.notify_all();
    madeChanged.wait(lock, [&] { return madeCount == 2; });
  };
  std::thread a([&] {
    tagA = threadTag(std::this_thread::get_id());
    kxthread::makeOwned<Noted>("first", true);
    kxthread::makeOwned<Noted>("second");
    seenA = &threadNoted();
    EXPECT_EQ(&threadNoted(), seenA) << "the same object on each use";
    bothMade();
  });
  std::thread b([&] {
    tagB = threadTag(std::this_thread::get_id());
    seenB = &threadNoted();
    bothMade();
  });
  a.join();
  b.join();
  EXPECT_NE(seenA, seenB) << "each thread has its own";

  std::vector<std::string> ofA;
  std::vector<std::string> ofB;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    for (const std::string& d : g_destroyed) {
      if (d.ends_with("@" + tagA)) ofA.push_back(d.substr(0, d.find('@')));
      if (d.ends_with("@" + tagB)) ofB.push_back(d.substr(0, d.find('@')));
    }
    EXPECT_EQ(g_destroyed.size(), 5u) << "every object once, each on its own thread";
  }
  EXPECT_EQ(ofA, (std::vector<std::string>{"cached", "second", "first", "first+late"}));
  EXPECT_EQ(ofB, (std::vector<std::string>{"cached"}));
}

}  // namespace
