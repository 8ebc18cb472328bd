// SPDX-License-Identifier: BSD-3-Clause
// A read counter at the memory: every load and store the code under test makes to a record is
// seen, whatever instruction makes it (a FetchWord, a raw pointer, a memcpy, a vector load).
//
// The record sits at the start of a page that has no access while the watch is armed; the page
// after it is a guard with no access either, and the page before it stays readable, so a
// communicate header can sit right in front of the record. An access to the two watched pages
// faults; the SIGSEGV handler counts the word at the fault address (load or store, from the
// x86-64 page-fault error code in the signal context), opens the pages and returns with the trap
// flag set, so that exactly the one instruction runs; the SIGTRAP that follows closes the pages
// again. An access past the record's words, or one on the guard page, is counted as stray.
//
// One instruction counts once, at the first address it faulted on: a wide load that covers two
// words counts as a load of the lower one. Read-modify-write instructions count as stores.
//
// It needs the x86-64 trap flag; elsewhere (AArch64 under qemu-user, say) Available() is false
// and Arm() leaves the pages open, so every count stays 0. Only one watch exists at a time. It
// chains to the handlers installed before it (AddressSanitizer's, for one) for any other fault.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace testsupport {

class RecordWatch {
 public:
  static constexpr uint32_t kWords = 6;

  RecordWatch();
  ~RecordWatch();
  RecordWatch(const RecordWatch &) = delete;
  RecordWatch &operator=(const RecordWatch &) = delete;

  // Whether accesses can be counted on this machine.
  static bool Available();

  // The record: page-aligned, followed by the guard page; Record() - N is readable for N up to
  // a page.
  uint8_t *Record() const { return Pages_ + PageSize_; }

  // Arms the watch (and clears the counts) / opens the pages again.
  void Arm();
  void Disarm();
  bool Armed() const { return Armed_; }

  // Writes Bytes into the record as another agent would (the racing normal world), uncounted.
  void Write(uint64_t Offset, const void *Bytes, size_t Length);

  uint32_t Loads(uint32_t Word) const { return Loads_[Word]; }
  uint32_t Stores(uint32_t Word) const { return Stores_[Word]; }
  uint32_t StrayLoads() const { return StrayLoads_; }
  uint32_t StrayStores() const { return StrayStores_; }
  // Faults taken since Arm(): loads and stores, counted or stray.
  uint32_t Accesses() const { return Accesses_; }

 private:
  static void OnFault(int Signal, void *Info, void *Context);
  static void OnTrap(int Signal, void *Info, void *Context);
  void Protect(bool Closed) const;

  uint8_t *Pages_ = nullptr;  // readable page, record page, guard page
  size_t PageSize_ = 0;
  volatile bool Armed_ = false;
  volatile bool Stepping_ = false;
  volatile uint32_t Loads_[kWords] = {};
  volatile uint32_t Stores_[kWords] = {};
  volatile uint32_t StrayLoads_ = 0;
  volatile uint32_t StrayStores_ = 0;
  volatile uint32_t Accesses_ = 0;
};

}  // namespace testsupport
