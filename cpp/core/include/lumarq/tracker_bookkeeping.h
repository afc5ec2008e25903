// The tracker's bookkeeping around stored nodes and buffered row values that needs no Python:
// the node clock, claiming a drawn id in the store, and how the row-value buffer is cut back or
// split into batches for a writer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "lumarq/node_store.h"
#include "lumarq/row_value_columns.h"

namespace lumarq {

/// Node timestamps (ns since the epoch), read from the system clock once every 1024 nodes: a
/// clock read per node would cost more than the append itself.
class OpClock {
 public:
  /// The timestamp for the next node.
  int64_t Tick() {
    return Tick([] {
      return std::chrono::duration_cast<std::chrono::nanoseconds>(
                 std::chrono::system_clock::now().time_since_epoch())
          .count();
    });
  }
  /// As above, reading the time from `now()` when it is due.
  template <class Now>
  int64_t Tick(Now&& now) {
    if ((tick_++ & 1023) == 0) now_ = now();
    return now_;
  }
  /// The timestamp given last.
  int64_t now() const { return now_; }

 private:
  int64_t now_ = 0;
  uint32_t tick_ = 0;
};

/// Makes `id` (drawn by the tracker) the id of the store's next append. False, with the store
/// unchanged, when ids at or above it were handed out already: the store cannot take the node.
bool ClaimRowId(NodeStore& store, int64_t id);

/// How many of the oldest buffered rows go, so that at most `limit` stay: records come before
/// the row-value columns, so they go first.
struct RowCut {
  size_t records = 0;
  size_t columns = 0;
  bool any() const { return records + columns != 0; }
};
RowCut CutOldestRows(size_t records, size_t columns, size_t limit);

/// How `rows` new row values reach a writer that takes batches of `batch` rows while `held`
/// records wait in the buffer: `head` records top the buffer up to a batch (at least one, so the
/// operation's first row goes with the records before it), then `batches` whole batches go as
/// columns and the remaining `tail` rows as records. `ok` is false when the rows do not fill one
/// whole batch after the head (recording row by row is then as cheap).
struct RowBatchPlan {
  bool ok = false;
  size_t head = 0, batches = 0, tail = 0;
};
RowBatchPlan PlanRowBatches(size_t held, size_t batch, size_t rows);

/// The rows of `columns`, oldest first: on_run(run) before the first row of each run, then
/// on_row(row, word, value) per row. What a run's rows share is looked up once per run.
template <class OnRun, class OnRow>
void ForEachRowByRun(const RowValueColumns& columns, OnRun&& on_run, OnRow&& on_row) {
  const RowValueColumns::Run* current = nullptr;
  columns.ForEach([&](const RowValueColumns::Run& run, int64_t row, uint32_t word, double value) {
    if (&run != current) {
      on_run(run);
      current = &run;
    }
    on_row(row, word, value);
  });
}

}  // namespace lumarq
