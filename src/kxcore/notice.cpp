#include "kxcore/notice.h"

#include <map>
#include <mutex>
#include <ostream>
#include <utility>

#include "kxcore/io.h"

namespace {

struct NoticeStore {
  std::mutex mutex;
  std::vector<KxNotice> notices;
  std::vector<bool> counted;  // parallel to notices: folded by reason, logged at take
  // Where the counted notice of (kind, reason) sits in `notices`.
  std::map<std::pair<KxNoticeKind, std::string>, std::size_t> foldedAt;
};

NoticeStore& store() {
  static NoticeStore* s = new NoticeStore;  // never destroyed: usable during static teardown
  return *s;
}

const char* kindWord(KxNoticeKind kind) {
  switch (kind) {
    case KxNoticeKind::kUnreadable:
      return "cannot be read";
    case KxNoticeKind::kLeftOut:
      return "left out";
    case KxNoticeKind::kConfiguration:
      return "configuration";
    case KxNoticeKind::kDamaged:
      return "damaged";
    case KxNoticeKind::kNotSaved:
      return "not saved";
  }
  return "problem";
}

// Folds (kind, reason) into its counted notice, adding one when missing. Under the store lock.
void foldLocked(NoticeStore& s, KxNoticeKind kind, const std::string& reason,
                const std::string& path, std::uint64_t n) {
  const auto [at, added] = s.foldedAt.try_emplace({kind, reason}, s.notices.size());
  if (!added) {
    s.notices[at->second].count += n;
    return;
  }
  s.notices.push_back(KxNotice{kind, path, reason, n});
  s.counted.push_back(true);
}

constexpr const char* kOverflowReason = "and more problems of this kind";

}  // namespace

std::string KxNotice::text() const {
  if (kind == KxNoticeKind::kLeftOut) {
    const std::string files = count == 1 ? "1 file was" : std::to_string(count) + " files were";
    std::string out = files + " left out: " + reason;
    if (!path.empty()) out += count == 1 ? " (" + path + ")" : " (the first: " + path + ")";
    return out;
  }
  std::string out = path.empty() ? reason : path + ": " + reason;
  if (count > 1) out += " (" + std::to_string(count) + " times)";
  return out;
}

void KxNotices::report(KxNoticeKind kind, std::string path, std::string reason) {
  ActivityLog::stream() << "ERROR: " << kindWord(kind) << ": "
                        << (path.empty() ? reason : path + ": " + reason) << std::endl;
  NoticeStore& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.notices.size() >= kMaxKept) {
    foldLocked(s, kind, kOverflowReason, path, 1);
    return;
  }
  s.notices.push_back(KxNotice{kind, std::move(path), std::move(reason), 1});
  s.counted.push_back(false);
}

void KxNotices::count(KxNoticeKind kind, const std::string& reason, const std::string& path,
                      std::uint64_t n) {
  if (n == 0) return;
  NoticeStore& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  foldLocked(s, kind, reason, path, n);
}

std::vector<KxNotice> KxNotices::take() {
  std::vector<KxNotice> out;
  std::vector<bool> counted;
  {
    NoticeStore& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    out.swap(s.notices);
    counted.swap(s.counted);
    s.foldedAt.clear();
  }
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (counted[i]) ActivityLog::stream() << "ERROR: " << out[i].text() << std::endl;
  }
  return out;
}

std::size_t KxNotices::pending() {
  NoticeStore& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.notices.size();
}

void KxNotices::clear() {
  NoticeStore& s = store();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.notices.clear();
  s.counted.clear();
  s.foldedAt.clear();
}
