#include "lumarq/tracker_bookkeeping.h"

#include <algorithm>

namespace lumarq {

bool ClaimRowId(NodeStore& store, int64_t id) {
  if (id < store.next_id()) return false;
  store.SetNextId(id);
  return true;
}

RowCut CutOldestRows(size_t records, size_t columns, size_t limit) {
  const size_t total = records + columns;
  if (total <= limit) return {};
  const size_t from_records = std::min(total - limit, records);
  return {from_records, total - limit - from_records};
}

RowBatchPlan PlanRowBatches(size_t held, size_t batch, size_t rows) {
  RowBatchPlan plan;
  if (batch == 0) return plan;
  plan.head = held >= batch ? 1 : batch - held;
  if (rows < plan.head + batch) return plan;
  plan.ok = true;
  plan.batches = (rows - plan.head) / batch;
  plan.tail = rows - plan.head - plan.batches * batch;
  return plan;
}

}  // namespace lumarq
