// ParseFeed: the window's end of its parse worker. It owns the worker (parseworker.h), takes
// the worker's updates on the window's thread in batches, at most one batch every
// kBatchIntervalMs while a parse streams them, and hands each batch to the display model
// (displaymodel.h), whose row source it is while it lives. The worker's notification reaches the
// feed as a queued call, and only while the feed lives.
//
// Ownership: the window owns the feed; the feed owns the worker and feeds a display model that
// outlives it. When destroyed it stops the worker and waits for it to end, however long the
// step the worker is in takes (a slow disk, the engine lock held elsewhere): the engine is shut
// down after the window is gone, never under a running worker. Threads: the window's thread.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <memory>

#include "parseworker.h"

class DelveDisplayModel;

class ParseFeed : public QObject {
 public:
  // Batches are taken at most this often while a parse streams updates.
  static constexpr int kBatchIntervalMs = 50;

  // Starts the worker, which registers itself as the pool's observer.
  explicit ParseFeed(DelveDisplayModel& display);
  ~ParseFeed() override;
  ParseFeed(const ParseFeed&) = delete;
  ParseFeed& operator=(const ParseFeed&) = delete;

  // The worker, for the window's requests.
  ParseWorker& worker() { return *m_worker; }
  // Takes every update the worker has waiting and hands it to the display model.
  void takeUpdates();

 private:
  struct Sink;

  // A take after the batch interval, or at the next turn of the event loop (`now`).
  void schedule(bool now);

  DelveDisplayModel& m_display;
  QTimer m_timer;
  QElapsedTimer m_sinceTake;
  std::shared_ptr<Sink> m_sink;
  std::unique_ptr<ParseWorker> m_worker;
};
