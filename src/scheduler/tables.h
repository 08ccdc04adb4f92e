// The run's test tables and the acceptance of worker manifests.
//
// The first manifest that passes the checks becomes the reference: it fixes
// every test's index for the rest of the run and creates the status table,
// the attempt table and the schedule. Every later manifest must equal it.
#ifndef AURVANE_SCHEDULER_TABLES_H_
#define AURVANE_SCHEDULER_TABLES_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "scheduler/history.h"
#include "scheduler/item.h"
#include "scheduler/schedule.h"
#include "scheduler/test_state.h"
#include "util/result.h"

namespace aurvane {

struct RunTables {
  // Absent until the first manifest is accepted, then never changed.
  std::optional<Manifest> reference;
  // One entry per test index; empty until the reference is set.
  std::vector<TestState> states;
  std::vector<uint32_t> attempts;
  Schedule schedule;

  size_t test_count() const { return states.size(); }
};

// Index rule: item i must have index i ("Invalid collection indices").
Status CheckIndices(const Manifest& manifest);
// Duplicate rule: no two items share a node identifier ("Duplicate node IDs
// are unsupported in this prototype").
Status CheckUniqueNodeIds(const Manifest& manifest);

// Checks the manifest reported by worker av{worker_number}. Without a
// reference it must pass the index and duplicate rules, and then becomes the
// reference with all tests "pending", no attempts and a schedule built from
// `schedule_mode` and `history`. With a reference it must pass the index rule
// and equal the reference ("Collection mismatch in av{n}; worker manifests
// differ"). On failure `tables` is unchanged.
Status AcceptManifest(RunTables& tables, size_t worker_number, Manifest manifest,
                      std::string_view schedule_mode, const DurationHistory& history);

}  // namespace aurvane

#endif  // AURVANE_SCHEDULER_TABLES_H_
