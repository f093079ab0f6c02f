// Executive pool: tagged blocks of paged and non-paged pool with per-tag
// accounting. New blocks are filled with a pattern (never zeros), freed
// blocks are poisoned and kept in quarantine for a while so that a second
// free is told apart from a block that happens to reuse the address.
#include <cstdlib>
#include <cstring>

#include "kernel/ke_internal.h"
#include "kernel/kernel_parts.h"

using hs::Kernel;
using hs::Machine;

namespace hs {
namespace {

constexpr unsigned char kFreshFill = 0xA5;  // a new block's contents
constexpr unsigned char kFreedFill = 0xDF;  // a freed block's contents
constexpr size_t kQuarantineBlocks = 2048;
constexpr size_t kPoolAlignment = 16;
// More than the target's whole pool: such a request fails as it would there.
constexpr size_t kLargestBlock = 256u << 20;

void trace_pool(const char* op, const void* p, size_t size, ULONG tag, const std::string& owner) {
  if (!Machine::current().trace().active()) return;
  TraceEvent event;
  event.ev = "pool";
  event.add("op", std::string(op));
  event.add("tag", Kernel::tag_name(tag));
  event.add("size", static_cast<int64_t>(size));
  if (!owner.empty()) event.add("drv", owner);
  event.text = std::string("pool  ") + op + " '" + Kernel::tag_name(tag) + "' " +
               std::to_string(size) + " bytes at " + pointer_text(p) +
               (owner.empty() ? "" : " by " + owner);
  Machine::current().trace().emit(std::move(event));
}

}  // namespace

PoolManager::~PoolManager() {
  for (auto& [p, block] : live_) std::free(p);
  for (auto& [p, block] : quarantine_) std::free(p);
}

void* PoolManager::allocate(POOL_TYPE type, size_t size, ULONG tag, const void* caller) {
  std::string name = Kernel::tag_name(tag);
  if (type != NonPagedPool && type != PagedPool) {
    ke_violation("bad pool type", "ExAllocatePoolWithTag with pool type " + std::to_string(type));
  }
  if (type == PagedPool) ke_check_irql("ExAllocatePoolWithTag (paged pool)", APC_LEVEL);
  if (size == 0) {
    ke_violation("zero-size pool allocation",
                 "ExAllocatePoolWithTag of 0 bytes, tag '" + name + "'");
  }
  TagUsage& usage = tags_[name];
  if (Machine::current().faults().should_fail({"pool", name})) {
    ++usage.failures;
    return nullptr;
  }
  if (size > kLargestBlock) return nullptr;
  size_t rounded = (size + kPoolAlignment - 1) / kPoolAlignment * kPoolAlignment;
  void* p = std::aligned_alloc(kPoolAlignment, rounded);
  if (p == nullptr) return nullptr;
  std::memset(p, kFreshFill, rounded);
  PoolBlock block;
  block.size = size;
  block.tag = tag;
  block.type = type;
  block.owner = kernel_.loader().owner_of(caller);
  block.serial = ++serial_;
  ++usage.allocations;
  ++usage.blocks_held;
  usage.bytes_held += size;
  if (usage.bytes_held > usage.peak_bytes) usage.peak_bytes = usage.bytes_held;
  trace_pool("alloc", p, size, tag, block.owner);
  live_.emplace(p, std::move(block));
  return p;
}

void PoolManager::free(void* p, std::optional<ULONG> tag, const void* caller) {
  (void)caller;
  if (p == nullptr) ke_violation("NULL argument", "ExFreePool of a NULL pointer");
  auto it = live_.find(p);
  if (it == live_.end()) {
    if (quarantined_.count(p)) {
      ke_violation("pool freed twice", "ExFreePool of " + pointer_text(p) + ", freed before");
    }
    ke_violation("free of memory not from the pool",
                 "ExFreePool of " + pointer_text(p) + ", which no pool allocation returned");
  }
  PoolBlock& block = it->second;
  std::string name = Kernel::tag_name(block.tag);
  if (tag && *tag != block.tag) {
    ke_violation("pool freed with the wrong tag", "ExFreePoolWithTag of " + pointer_text(p) +
                                                      " with tag '" + Kernel::tag_name(*tag) +
                                                      "', allocated with '" + name + "'");
  }
  if (block.type == PagedPool) ke_check_irql("ExFreePool (paged pool)", APC_LEVEL);
  const char* begin = static_cast<const char*>(p);
  std::string live = ke_live_objects_in(begin, begin + block.size);
  live += kernel_.workers().queued_in(begin, begin + block.size);
  if (!live.empty()) {
    ke_violation("pool freed while a kernel object in it is in use",
                 "ExFreePool of " + pointer_text(p) + " (tag '" + name + "'): " + live);
  }
  ke_forget_objects_in(begin, begin + block.size);
  TagUsage& usage = tags_[name];
  ++usage.frees;
  --usage.blocks_held;
  usage.bytes_held -= block.size;
  trace_pool("free", p, block.size, block.tag, block.owner);
  std::memset(p, kFreedFill, block.size);
  quarantine_.emplace_back(p, std::move(block));
  quarantined_.insert(p);
  live_.erase(it);
  while (quarantine_.size() > kQuarantineBlocks) {
    quarantined_.erase(quarantine_.front().first);
    std::free(quarantine_.front().first);
    quarantine_.pop_front();
  }
}

const PoolBlock* PoolManager::find(const void* p) const {
  auto it = live_.find(const_cast<void*>(p));
  return it == live_.end() ? nullptr : &it->second;
}

std::string PoolManager::held_by(const std::string& owner) const {
  std::map<std::string, std::pair<uint64_t, uint64_t>> by_tag;
  for (auto& [p, block] : live_) {
    if (block.owner != owner) continue;
    auto& entry = by_tag[Kernel::tag_name(block.tag)];
    ++entry.first;
    entry.second += block.size;
  }
  std::string out;
  for (auto& [tag, entry] : by_tag) {
    out += "'" + tag + "': " + std::to_string(entry.first) + " block(s), " +
           std::to_string(entry.second) + " bytes\n";
  }
  return out;
}

TagUsage PoolManager::usage(std::string_view tag) const {
  auto it = tags_.find(tag);
  return it == tags_.end() ? TagUsage{} : it->second;
}

std::string PoolManager::report() const {
  std::string out;
  for (auto& [tag, usage] : tags_) {
    if (usage.blocks_held == 0) continue;
    out += "'" + tag + "': " + std::to_string(usage.blocks_held) + " block(s), " +
           std::to_string(usage.bytes_held) + " bytes held\n";
  }
  return out;
}

}  // namespace hs

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  hs::ke_enter("ExAllocatePoolWithTag", DISPATCH_LEVEL);
  return Kernel::current().pool().allocate(PoolType, NumberOfBytes, Tag, HS_CALLER());
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  hs::ke_enter("ExAllocatePool", DISPATCH_LEVEL);
  // The kernel's tag for untagged allocations.
  return Kernel::current().pool().allocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */,
                                           HS_CALLER());
}

VOID NTAPI ExFreePool(PVOID P) {
  hs::ke_enter("ExFreePool", DISPATCH_LEVEL);
  Kernel::current().pool().free(P, std::nullopt, HS_CALLER());
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  hs::ke_enter("ExFreePoolWithTag", DISPATCH_LEVEL);
  Kernel::current().pool().free(P, Tag, HS_CALLER());
}

}  // extern "C"
