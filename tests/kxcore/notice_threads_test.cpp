#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kxcore/io.h"
#include "kxcore/notice.h"

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int countLines(const std::string& text, const std::string& part) {
  int n = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) n += line.find(part) != std::string::npos;
  return n;
}

TEST(KxNotices, CountedNoticesFoldByReasonAndLogOnceWithTheirTotal) {
  KxNotices::clear();
  ActivityLog::open("notices.log");
  KxNotices::report(KxNoticeKind::kUnreadable, "/t/sub", "Permission denied");
  for (int i = 0; i < 1000; ++i) {
    KxNotices::count(KxNoticeKind::kLeftOut, "no memory for its entry", "/t/f" + std::to_string(i));
  }
  KxNotices::count(KxNoticeKind::kLeftOut, "the name is too long", "/t/long");
  KxNotices::report(KxNoticeKind::kUnreadable, "/t/other", "Input/output error");
  EXPECT_EQ(KxNotices::pending(), 4u);

  const std::vector<KxNotice> notices = KxNotices::take();
  ActivityLog::close();
  ASSERT_EQ(notices.size(), 4u);
  EXPECT_EQ(notices[0].text(), "/t/sub: Permission denied");
  EXPECT_EQ(notices[1].text(),
            "1000 files were left out: no memory for its entry (the first: /t/f0)");
  EXPECT_EQ(notices[2].text(), "1 file was left out: the name is too long (/t/long)");
  EXPECT_EQ(notices[3].path, "/t/other");
  EXPECT_EQ(KxNotices::pending(), 0u);
  EXPECT_TRUE(KxNotices::take().empty());

  const std::string log = readAll("notices.log");
  EXPECT_EQ(countLines(log, "no memory for its entry"), 1) << log;
  EXPECT_EQ(countLines(log, "1000 files"), 1) << log;
  EXPECT_EQ(countLines(log, "/t/sub: Permission denied"), 1) << log;
}

TEST(KxNotices, BeyondTheLimitNoticesFoldSoMemoryStaysBounded) {
  KxNotices::clear();
  for (std::size_t i = 0; i < KxNotices::kMaxKept + 500; ++i) {
    KxNotices::report(KxNoticeKind::kUnreadable, "/d" + std::to_string(i), "Permission denied");
  }
  const std::vector<KxNotice> notices = KxNotices::take();
  ASSERT_EQ(notices.size(), KxNotices::kMaxKept + 1);
  EXPECT_EQ(notices.back().count, 500u);
  EXPECT_EQ(notices.back().path, "/d" + std::to_string(KxNotices::kMaxKept));
}

TEST(KxNotices, ThreadsRecordWithoutLosingACount) {
  KxNotices::clear();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 2000; ++i) {
        KxNotices::count(KxNoticeKind::kLeftOut, "full", "/x");
        if (i % 100 == 0) KxNotices::report(KxNoticeKind::kUnreadable, std::to_string(t), "e");
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::uint64_t left = 0;
  std::size_t unreadable = 0;
  for (const KxNotice& n : KxNotices::take()) {
    if (n.kind == KxNoticeKind::kLeftOut) left += n.count;
    if (n.kind == KxNoticeKind::kUnreadable) ++unreadable;
  }
  EXPECT_EQ(left, 8000u);
  EXPECT_EQ(unreadable, 80u);
}

}  // namespace
