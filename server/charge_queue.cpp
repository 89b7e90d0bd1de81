#include "server/charge_queue.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include <unistd.h>

#include "server/log.h"

namespace korvan::server {

namespace {

constexpr const char* kSpoolHeader = "korvan-charges 1";

std::string RandomKeyPrefix() {
  std::random_device random;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", random(), random());
  return text;
}

}  // namespace

ChargeQueue::ChargeQueue(AccountStore& store, Options options)
    : store_(store), options_(std::move(options)), key_prefix_(RandomKeyPrefix()) {
  {
    MutexLock lock(mutex_);
    if (!options_.spool.empty()) ReadSpool();
  }
  writer_ = std::thread([this] { Run(); });
}

ChargeQueue::~ChargeQueue() {
  {
    MutexLock lock(mutex_);
    stopping_ = true;
    give_up_ = Clock::now() + options_.final_flush;
    changed_.NotifyAll();
  }
  writer_.join();
}

void ChargeQueue::OnWrite(WriteReport report) {
  MutexLock lock(mutex_);
  report_ = std::move(report);
}

void ChargeQueue::Add(std::int32_t id, const Traffic& traffic, bool charge) {
  if (traffic.empty()) return;
  MutexLock lock(mutex_);
  // The writer sleeps while there is nothing to write: the first charge wakes it.
  if (pending_.empty() && sealed_.empty()) changed_.NotifyAll();
  pending_[{id, charge}] += traffic;
  ++pending_adds_;
  ++added_;
}

bool ChargeQueue::Flush(Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  MutexLock lock(mutex_);
  const std::uint64_t target = added_;
  flush_wanted_ = true;
  changed_.NotifyAll();
  while (landed_ < target) {
    if (!changed_.WaitUntil(mutex_, deadline) && landed_ < target) return false;
  }
  return true;
}

std::size_t ChargeQueue::Waiting() const {
  MutexLock lock(mutex_);
  return RecordsWaiting();
}

std::size_t ChargeQueue::RecordsWaiting() const {
  std::size_t records = pending_.size();
  for (const auto& batch : sealed_) records += batch.size();
  return records;
}

std::string ChargeQueue::NextKey() { return key_prefix_ + "-" + std::to_string(++next_key_); }

void ChargeQueue::SealPending() {
  if (pending_.empty()) return;
  std::vector<ChargeRecord> batch;
  for (const auto& [account, traffic] : pending_) {
    batch.push_back(ChargeRecord{account.first, traffic, account.second, NextKey()});
    if (batch.size() == options_.batch_records) {
      sealed_.push_back(std::move(batch));
      batch_adds_.push_back(0);
      batch.clear();
    }
  }
  if (!batch.empty()) {
    sealed_.push_back(std::move(batch));
    batch_adds_.push_back(0);
  }
  // The Add calls are done when the last of their batches has landed.
  batch_adds_.back() = pending_adds_;
  pending_.clear();
  pending_adds_ = 0;
}

void ChargeQueue::Run() {
  auto delay = options_.interval;
  auto next_try = Clock::now() + options_.interval;
  bool failing = false;
  for (;;) {
    std::vector<ChargeRecord> batch;
    {
      MutexLock lock(mutex_);
      for (;;) {
        const bool empty = pending_.empty() && sealed_.empty();
        const auto now = Clock::now();
        if (stopping_ && (empty || now >= give_up_)) {
          SealPending();
          if (!sealed_.empty()) WriteSpool();
          return;
        }
        const bool due = now >= next_try || ((flush_wanted_ || stopping_) && !failing);
        if (!empty && due) break;
        if (empty) {
          if (stopping_) continue;
          changed_.Wait(mutex_);
          // Woken by a first charge after a quiet time: it goes at once, so
          // that a server killed just after a connection ended loses
          // nothing; under load the charges that come while a batch is
          // written gather into the next.
          if (!failing) next_try = Clock::now();
        } else {
          changed_.WaitUntil(mutex_, stopping_ ? std::min(next_try, give_up_) : next_try);
        }
      }
      SealPending();
      flush_wanted_ = false;
      batch = sealed_.front();
    }
    std::string failure;
    try {
      store_.ApplyCharges(batch);
    } catch (const std::exception& e) {
      failure = e.what();
      if (failure.empty()) failure = "unknown failure";
    }
    WriteReport report;
    {
      MutexLock lock(mutex_);
      if (failure.empty()) {
        if (failing) Log("account store: reachable again, kept charges written");
        failing = false;
        delay = options_.interval;
        sealed_.pop_front();
        landed_ += batch_adds_.front();
        batch_adds_.pop_front();
        if (spooled_batches_ > 0 && --spooled_batches_ == 0) {
          std::error_code ec;
          std::filesystem::remove(options_.spool, ec);
        }
        // More batches wait: the next at once; otherwise charges gather
        // for an interval (or go at once after a quiet time, above).
        next_try = sealed_.empty() ? Clock::now() + options_.interval : Clock::now();
        changed_.NotifyAll();
      } else {
        if (!failing) Log("account store: cannot write charges, keeping them to try again: " + failure);
        failing = true;
        next_try = Clock::now() + delay;
        delay = std::min(delay * 2, options_.longest_retry);
      }
      report = report_;
    }
    if (report) report(failure.empty() ? batch.size() : 0, failure);
  }
}

// One line a record: key, account, 1 when charged, then the four totals.
void ChargeQueue::ReadSpool() {
  std::ifstream in(options_.spool);
  if (!in) {
    if (std::filesystem::exists(options_.spool)) {
      throw StoreError("cannot read the charge spool " + options_.spool.string());
    }
    return;  // nothing was kept
  }
  std::string line;
  if (!std::getline(in, line) || line != kSpoolHeader) {
    throw StoreError("the charge spool " + options_.spool.string() + " is not one; move it away to start");
  }
  std::vector<ChargeRecord> batch;
  std::size_t records = 0;
  for (int number = 2; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    ChargeRecord record;
    int charged = 0;
    std::string rest;
    Traffic& t = record.traffic;
    if (!(fields >> record.key >> record.id >> charged >> t.sent_raw >> t.sent_wire >> t.received_raw >>
          t.received_wire) ||
        (fields >> rest) || (charged != 0 && charged != 1) || t.sent_raw < 0 || t.sent_wire < 0 ||
        t.received_raw < 0 || t.received_wire < 0) {
      throw StoreError("the charge spool " + options_.spool.string() + " is damaged at line " +
                       std::to_string(number) + "; nothing was taken from it");
    }
    record.charge = charged == 1;
    batch.push_back(std::move(record));
    ++records;
    if (batch.size() == options_.batch_records) {
      sealed_.push_back(std::move(batch));
      batch.clear();
    }
  }
  if (!batch.empty()) sealed_.push_back(std::move(batch));
  spooled_batches_ = sealed_.size();
  batch_adds_.assign(sealed_.size(), 0);
  if (records > 0) {
    Log("account store: " + std::to_string(records) + " charges kept from the last run, to be written");
  } else {
    std::error_code ec;
    std::filesystem::remove(options_.spool, ec);
  }
}

void ChargeQueue::WriteSpool() {
  std::size_t records = 0;
  for (const auto& batch : sealed_) records += batch.size();
  if (options_.spool.empty()) {
    Log("account store: " + std::to_string(records) +
        " charges could not be written and are lost: no charge spool was set");
    return;
  }
  // A new file beside the old one, renamed over it: a crash midway leaves
  // the old spool (whose keys the store may already hold) whole.
  const auto temporary = options_.spool.string() + ".new";
  {
    std::ostringstream text;
    text << kSpoolHeader << "\n";
    for (const auto& batch : sealed_) {
      for (const auto& r : batch) {
        const Traffic& t = r.traffic;
        text << r.key << ' ' << r.id << ' ' << (r.charge ? 1 : 0) << ' ' << t.sent_raw << ' ' << t.sent_wire << ' '
             << t.received_raw << ' ' << t.received_wire << "\n";
      }
    }
    const std::string bytes = text.str();
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    bool written = out != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size() &&
                   std::fflush(out) == 0 && ::fsync(::fileno(out)) == 0;
    if (out != nullptr && std::fclose(out) != 0) written = false;
    if (!written) {
      Log("account store: cannot write the charge spool " + temporary + ": " + std::to_string(records) +
          " charges are lost");
      return;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, options_.spool, ec);
  if (ec) {
    Log("account store: cannot replace the charge spool " + options_.spool.string() + ": " + ec.message());
    return;
  }
  Log("account store: " + std::to_string(records) + " charges kept in " + options_.spool.string() +
      " for the next start");
}

}  // namespace korvan::server
