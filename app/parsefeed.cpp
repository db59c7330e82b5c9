#include "parsefeed.h"

#include <mutex>

#include "displaymodel.h"

// Lets the worker reach the feed until the feed starts going away.
struct ParseFeed::Sink {
  std::mutex mutex;
  ParseFeed* target = nullptr;
};

ParseFeed::ParseFeed(DelveDisplayModel& display)
    : m_display(display), m_sink(std::make_shared<Sink>()) {
  m_timer.setSingleShot(true);
  connect(&m_timer, &QTimer::timeout, this, &ParseFeed::takeUpdates);
  m_sinceTake.start();
  m_sink->target = this;
  std::shared_ptr<Sink> sink = m_sink;
  m_worker = std::make_unique<ParseWorker>([sink](bool now) {
    std::lock_guard<std::mutex> lock(sink->mutex);
    ParseFeed* target = sink->target;
    if (target != nullptr) {
      QMetaObject::invokeMethod(
          target, [target, now]() { target->schedule(now); }, Qt::QueuedConnection);
    }
  });
  m_worker->begin();
  ParseWorker* worker = m_worker.get();
  m_display.setRowSource(
      [worker](std::uint64_t generation, std::uint64_t folderId, const ParseWorker::RowSink& row,
               std::uint64_t& seq) { return worker->listFolder(generation, folderId, row, seq); });
}

ParseFeed::~ParseFeed() {
  {
    std::lock_guard<std::mutex> lock(m_sink->mutex);
    m_sink->target = nullptr;
  }
  m_display.setRowSource({});
  m_worker->shutdown();
}

void ParseFeed::schedule(bool now) {
  if (now) {
    m_timer.start(0);
    return;
  }
  if (m_timer.isActive()) return;
  const qint64 waited = m_sinceTake.elapsed();
  m_timer.start(waited >= kBatchIntervalMs ? 0 : static_cast<int>(kBatchIntervalMs - waited));
}

void ParseFeed::takeUpdates() {
  m_timer.stop();
  DelveUpdateBatch batch = m_worker->takeUpdates();
  m_sinceTake.restart();
  m_display.addUpdates(std::move(batch.updates));
}
