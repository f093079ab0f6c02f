// System worker threads: ExQueueWorkItem on DelayedWorkQueue, served by a
// few daemon emulated threads in order of queuing. The kernel also queues
// its own PASSIVE_LEVEL work here (power requests sent from DISPATCH_LEVEL).
#include "kernel/kernel_parts.h"

using hs::Kernel;
using hs::Machine;

namespace hs {

WorkQueue::WorkQueue(Kernel& kernel, int threads) : kernel_(kernel) {
  for (int i = 1; i <= threads; ++i) {
    kernel_.machine().create_thread(
        "worker " + std::to_string(i), [this, i] { worker_body(i); },
        /*daemon=*/true);
  }
}

void WorkQueue::queue(PWORK_QUEUE_ITEM item, const void* caller) {
  if (item->List.Flink != nullptr) {
    ke_violation("work item queued twice",
                 "ExQueueWorkItem of " + pointer_text(item) + ", which is still queued");
  }
  if (item->WorkerRoutine == nullptr) {
    ke_violation("NULL argument", "ExQueueWorkItem of an item without a worker routine");
  }
  // Flink is non-null while the item waits; the worker clears it before
  // calling the routine, which may queue the item again.
  item->List.Flink = &item->List;
  item->List.Blink = &item->List;
  std::string owner = kernel_.loader().owner_of(caller);
  items_.push_back(Item{item, nullptr, owner.empty() ? "work item" : "work item of " + owner});
  if (!idle_.empty()) {
    EmuThread* t = idle_.front();
    idle_.pop_front();
    kernel_.machine().wake(*t);
  }
}

void WorkQueue::queue(std::function<void()> work, std::string what) {
  items_.push_back(Item{nullptr, std::move(work), std::move(what)});
  if (!idle_.empty()) {
    EmuThread* t = idle_.front();
    idle_.pop_front();
    kernel_.machine().wake(*t);
  }
}

std::string WorkQueue::queued_in(const void* begin, const void* end) const {
  std::string found;
  for (const Item& item : items_) {
    const void* p = item.item;
    const void* routine =
        p != nullptr ? reinterpret_cast<const void*>(item.item->WorkerRoutine) : nullptr;
    bool inside = (p >= begin && p < end) || (routine >= begin && routine < end);
    if (p != nullptr && inside) {
      found += item.what + " " + pointer_text(p) + " is still queued; ";
    }
  }
  return found;
}

void WorkQueue::worker_body(int index) {
  Machine& m = kernel_.machine();
  EmuThread* self = m.current_thread();
  for (;;) {
    while (items_.empty()) {
      idle_.push_back(self);
      m.block("DelayedWorkQueue", std::nullopt);
    }
    Item item = std::move(items_.front());
    items_.pop_front();
    if (item.item != nullptr) {
      PWORK_QUEUE_ITEM work = item.item;
      work->List.Flink = nullptr;
      work->List.Blink = nullptr;
      // What the routine finishes may let its driver's removal and unload go
      // ahead before it has returned: its image stays mapped until then.
      const PWORKER_THREAD_ROUTINE routine = work->WorkerRoutine;
      LoadedDriver* image = kernel_.loader().pin(reinterpret_cast<const void*>(routine));
      routine(work->Parameter);
      kernel_.loader().unpin(image);
    } else {
      item.work();
    }
    if (m.irql() != PASSIVE_LEVEL) {
      ke_violation("work item returned at raised IRQL", item.what + " returned to worker " +
                                                            std::to_string(index) + " at IRQL " +
                                                            std::to_string(m.irql()));
    }
  }
}

}  // namespace hs

extern "C" {

VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
  hs::ke_enter("ExQueueWorkItem", DISPATCH_LEVEL);
  hs::ke_check_arg("ExQueueWorkItem", WorkItem, "work item");
  if (QueueType != DelayedWorkQueue && QueueType != CriticalWorkQueue) {
    hs::ke_violation("bad work queue", "ExQueueWorkItem to queue " + std::to_string(QueueType));
  }
  Kernel::current().workers().queue(WorkItem, HS_CALLER());
}

}  // extern "C"
