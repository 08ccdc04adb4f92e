#include "scheduler/tables.h"

#include <string>
#include <functional>
#include <string_view>
#include <utility>

namespace aurvane {

Status CheckIndices(const Manifest& manifest) {
  for (size_t i = 0; i < manifest.size(); ++i) {
    if (manifest[i].index != i) return Error{"Invalid collection indices"};
  }
  return Status::Ok();
}

Status CheckUniqueNodeIds(const Manifest& manifest) {
  if (HasDuplicateNodeIds(ManifestTable(manifest))) {
    return Error{"Duplicate node IDs are unsupported in this prototype"};
  }
  return Status::Ok();
}

namespace {

Error Mismatch(size_t worker_number) {
  return Error{"Collection mismatch in av" + std::to_string(worker_number) + "; worker manifests differ"};
}

// The duplicate rule, checked after the history's values are taken, so that
// the history's table is gone before the check's own is made. A manifest
// that fails the rule ends the run, which then writes no history.
Status CheckAndSetReference(RunTables& tables, ManifestTable table, std::optional<std::string> digest,
                            std::string_view schedule_mode, DurationHistory& history) {
  std::vector<double> durations = history.TakeCollected(table);
  if (HasDuplicateNodeIds(table)) return Error{"Duplicate node IDs are unsupported in this prototype"};
  tables.states.assign(table.size(), TestState::kPending);
  tables.attempts.assign(table.size(), 0);
  tables.durations = std::move(durations);
  tables.schedule = Schedule::Build(table, schedule_mode, tables.durations);
  tables.reference = std::move(table);
  tables.reference_digest = std::move(digest);
  return Status::Ok();
}

bool SameAsReference(const RunTables& tables, const DigestClaim& claim) {
  return tables.reference && tables.reference_digest && *tables.reference_digest == claim.digest &&
         claim.count == tables.reference->size();
}

void StartTransfer(RunTables& tables, DigestClaim claim, AgreementStep& step) {
  step.ask_worker = claim.worker;
  step.items_from = 0;
  ItemTransfer& transfer = tables.transfer.emplace();
  transfer.compare = tables.reference.has_value();
  transfer.claim = std::move(claim);
}

// Accepts waiting claims that the reference settles, up to the first that
// needs its items.
void Advance(RunTables& tables, AgreementStep& step) {
  while (!tables.transfer && !tables.waiting.empty()) {
    DigestClaim claim = std::move(tables.waiting.front());
    tables.waiting.pop_front();
    if (SameAsReference(tables, claim)) {
      step.accepted.push_back(claim.worker);
    } else {
      StartTransfer(tables, std::move(claim), step);
    }
  }
}

Error CountDiffers(const ItemTransfer& transfer) {
  return Error{"Worker av" + std::to_string(transfer.claim.worker) + " reported " +
               std::to_string(transfer.claim.count) + " collected items and sent " +
               std::to_string(transfer.received)};
}

// The last chunk has come: the judgement a whole manifest gets.
Status FinishTransfer(RunTables& tables, ItemTransfer transfer, std::string_view schedule_mode,
                      DurationHistory& history) {
  const size_t worker = transfer.claim.worker;
  if (transfer.received != transfer.claim.count) return CountDiffers(transfer);
  if (transfer.bad_index) return Error{"Invalid collection indices"};
  if (transfer.compare) {
    if (transfer.differs || transfer.received != tables.reference->size()) return Mismatch(worker);
    return Status::Ok();
  }
  if (tables.reference) {
    // A manifest sent whole was accepted while this one was arriving.
    return transfer.items == *tables.reference ? Status::Ok() : Status(Mismatch(worker));
  }
  return CheckAndSetReference(tables, std::move(transfer.items), std::move(transfer.claim.digest), schedule_mode,
                              history);
}

}  // namespace

Status AcceptManifest(RunTables& tables, size_t worker_number, Manifest manifest,
                      std::string_view schedule_mode, DurationHistory& history) {
  // Before any comparison: a manifest with bad indices is never compared.
  if (Status s = CheckIndices(manifest); !s.ok()) return s;
  if (tables.reference) {
    if (manifest.size() != tables.reference->size()) return Mismatch(worker_number);
    for (size_t i = 0; i < manifest.size(); ++i) {
      if (!tables.reference->Matches(i, manifest[i])) return Mismatch(worker_number);
    }
    return Status::Ok();
  }
  ManifestTable table(manifest);
  manifest = Manifest();
  return CheckAndSetReference(tables, std::move(table), std::nullopt, schedule_mode, history);
}

AgreementStep ClaimManifest(RunTables& tables, DigestClaim claim) {
  AgreementStep step;
  if (SameAsReference(tables, claim)) {
    step.accepted.push_back(claim.worker);
  } else if (tables.transfer) {
    tables.waiting.push_back(std::move(claim));
  } else {
    StartTransfer(tables, std::move(claim), step);
  }
  return step;
}

Result<AgreementStep> ReceiveItems(RunTables& tables, size_t worker_number, const ItemChunk& items, bool more,
                                   std::string_view schedule_mode, DurationHistory& history) {
  if (!tables.transfer || tables.transfer->claim.worker != worker_number) {
    return Error{"Unexpected collected items from av" + std::to_string(worker_number)};
  }
  ItemTransfer& transfer = *tables.transfer;
  for (size_t k = 0; k < items.size(); ++k) {
    const ItemView item = items[k];
    const uint64_t position = transfer.received++;
    if (item.index != position) transfer.bad_index = true;
    if (transfer.bad_index) continue;  // judged at the end; nothing more to keep
    if (transfer.compare) {
      if (!transfer.differs && !tables.reference->Matches(position, item)) transfer.differs = true;
    } else {
      transfer.items.Append(item);
    }
  }
  // The items before a bad one were taken as they would have been; the run
  // ends on it.
  if (items.error()) return Error{*items.error()};
  // A worker that goes on sending past the count it reported is judged at
  // once: the reference being built would otherwise grow for as long as the
  // worker keeps saying "more".
  if (transfer.received > transfer.claim.count) return CountDiffers(transfer);
  AgreementStep step;
  if (more) {
    step.ask_worker = worker_number;
    step.items_from = transfer.received;
    return step;
  }
  ItemTransfer finished = std::move(transfer);
  tables.transfer.reset();
  if (Status s = FinishTransfer(tables, std::move(finished), schedule_mode, history); !s.ok()) {
    return std::move(s).TakeError();
  }
  step.accepted.push_back(worker_number);
  Advance(tables, step);
  return step;
}

}  // namespace aurvane
