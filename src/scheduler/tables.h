// The run's test tables and the acceptance of worker manifests.
//
// The first manifest that passes the checks becomes the reference: it fixes
// every test's index for the rest of the run and creates the status table,
// the attempt table and the schedule. Every later manifest must equal it.
#ifndef AURVANE_SCHEDULER_TABLES_H_
#define AURVANE_SCHEDULER_TABLES_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

#include "scheduler/history.h"
#include "protocol/item.h"
#include "protocol/item_chunk.h"
#include "scheduler/manifest_table.h"
#include "scheduler/schedule.h"
#include "scheduler/test_state.h"
#include "util/result.h"

namespace aurvane {

// A worker that reported its manifest by count and digest and is waiting to
// be compared with the reference, or to be asked for its items.
struct DigestClaim {
  size_t worker = 0;
  uint64_t count = 0;
  std::string digest;
};

// The items of one worker's manifest, asked for chunk by chunk: into a new
// reference when there is none yet, else compared with it as they arrive
// and never kept.
struct ItemTransfer {
  DigestClaim claim;
  ManifestTable items;  // the new reference being built (empty when comparing)
  uint64_t received = 0;
  bool compare = false;
  bool bad_index = false;  // an item's index was not its position
  bool differs = false;    // an item differed from the reference
};

struct RunTables {
  // Absent until the first manifest is accepted, then never changed.
  std::optional<ManifestTable> reference;
  // The digest its worker reported with it, when it came that way.
  std::optional<std::string> reference_digest;
  std::deque<DigestClaim> waiting;  // in order of report
  std::optional<ItemTransfer> transfer;
  // One entry per test index; empty until the reference is set.
  std::vector<TestState> states;
  std::vector<uint32_t> attempts;
  // Per test: its duration in the history, then the one this run measured
  // (NaN: none). The history's own table is gone once these are taken.
  std::vector<double> durations;
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
// `schedule_mode` and `history` (whose entries of the collected tests move
// to `durations`; it is emptied even when the duplicate rule then fails,
// which ends the run). With a reference it must pass the index rule
// and equal the reference ("Collection mismatch in av{n}; worker manifests
// differ"). On failure `tables` is unchanged.
Status AcceptManifest(RunTables& tables, size_t worker_number, Manifest manifest,
                      std::string_view schedule_mode, DurationHistory& history);

// What the supervisor does next after a manifest message: the workers whose
// manifests are now accepted, in order, and the worker to ask for items
// (starting at position `items_from`).
struct AgreementStep {
  std::vector<size_t> accepted;
  std::optional<size_t> ask_worker;
  uint64_t items_from = 0;
};

// A worker reported `count` items with `digest` instead of listing them.
// With a reference and the same count and digest it is accepted at once;
// otherwise its items are asked for, one worker at a time, in order of
// report: the first becomes the reference, later ones are compared.
AgreementStep ClaimManifest(RunTables& tables, DigestClaim claim);

// One chunk of items from the worker being asked (the message's "items",
// `more` whether chunks follow). Decode errors end the run at once; the
// index rule, the duplicate rule and agreement are judged at
// the last chunk, with the same texts as a manifest sent whole. A chunk
// from a worker that was not asked ends the run.
Result<AgreementStep> ReceiveItems(RunTables& tables, size_t worker_number, const ItemChunk& items, bool more,
                                   std::string_view schedule_mode, DurationHistory& history);

}  // namespace aurvane

#endif  // AURVANE_SCHEDULER_TABLES_H_
