// Locked containers that carry work and results between the download
// manager's threads. Neither container owns what it holds: clearing or
// destroying them releases their nodes (and string copies), never the tasks
// or records their items point to; the manager's threads release those.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/errors.h"

namespace vantrel {

// First-in first-out queue. Every operation has a plain form (for the only
// user of the queue at that moment) and a locked form (`...Sync`). Count is
// read without the lock by the single consumer that polls before taking an
// item; it is one atomic 32-bit value.
template <typename T>
class TLinkedQueue {
 public:
  TLinkedQueue() = default;
  ~TLinkedQueue() { Clear(); }
  TLinkedQueue(const TLinkedQueue&) = delete;
  TLinkedQueue& operator=(const TLinkedQueue&) = delete;

  // Releases every node; the items' referents stay alive. Not locked.
  void Clear() {
    while (FHeadNode != nullptr) {
      TNode* next = FHeadNode->NextNode;
      delete FHeadNode;
      FHeadNode = next;
    }
    FCount.store(0);
  }

  // Appends at the tail. Not locked.
  void Enqueue(T Value) {
    auto* node = new TNode{nullptr, std::move(Value)};
    if (FHeadNode != nullptr) {
      FTailNode->NextNode = node;
    } else {
      FHeadNode = node;
    }
    FTailNode = node;
    FCount.fetch_add(1);
  }
  void EnqueueSync(T Value) {
    std::lock_guard<std::mutex> hold(vcs);
    Enqueue(std::move(Value));
  }

  // Removes and returns the head item. Raises EVantrelError "Unbalanced
  // stack or queue operation" on an empty queue, which stays usable.
  T Dequeue() {
    if (FCount.load() == 0) throw EVantrelError("Unbalanced stack or queue operation");
    TNode* head = FHeadNode;
    T value = std::move(head->Value);
    // The tail is left as it is: once the queue is empty the next Enqueue
    // finds no head and never follows the old tail.
    FHeadNode = head->NextNode;
    delete head;
    FCount.fetch_sub(1);
    return value;
  }
  T DequeueSync() {
    std::lock_guard<std::mutex> hold(vcs);
    return Dequeue();
  }

  // Puts an item at the head, to be dequeued next. Not locked.
  void EnqueueFront(T Value) {
    auto* node = new TNode{FHeadNode, std::move(Value)};
    if (FHeadNode == nullptr) FTailNode = node;
    FHeadNode = node;
    FCount.fetch_add(1);
  }

  // Removes the oldest item for which pred is true into out; false when no
  // item qualifies (the queue is then unchanged). Not locked.
  template <typename Pred>
  bool DequeueFirst(Pred pred, T& out) {
    TNode* before = nullptr;
    for (TNode* node = FHeadNode; node != nullptr; before = node, node = node->NextNode) {
      if (!pred(static_cast<const T&>(node->Value))) continue;
      out = std::move(node->Value);
      if (before == nullptr) {
        FHeadNode = node->NextNode;
      } else {
        before->NextNode = node->NextNode;
        if (node == FTailNode) FTailNode = before;
      }
      delete node;
      FCount.fetch_sub(1);
      return true;
    }
    return false;
  }

  int32_t Count() const { return FCount.load(); }

 private:
  struct TNode {
    TNode* NextNode;
    T Value;
  };

  std::atomic<int32_t> FCount{0};  // written under vcs by the locked forms
  TNode* FHeadNode = nullptr;      // guarded by vcs (locked forms) or sole use
  TNode* FTailNode = nullptr;      // meaningful only while FHeadNode is set
  std::mutex vcs;
};

// String-keyed table of records (not owned), guarded by a lock. Keys compare
// exactly, case included. Add is the unlocked form for the only user of the
// table at that moment; every other operation takes the lock.
template <typename V>
class TSyncedDictionary {
 public:
  // Raises EVantrelError "Duplicates not allowed" for a key already present;
  // the table is then unchanged.
  void Add(const std::string& Key, V* Value) {
    if (!dict.emplace(Key, Value).second) throw EVantrelError("Duplicates not allowed");
  }
  void AddSync(const std::string& Key, V* Value) {
    std::lock_guard<std::mutex> hold(vcs);
    Add(Key, Value);
  }
  bool TryGetValueSync(const std::string& Key, V*& Value) {
    std::lock_guard<std::mutex> hold(vcs);
    const auto it = dict.find(Key);
    if (it == dict.end()) return false;
    Value = it->second;
    return true;
  }
  int32_t Count() {
    std::lock_guard<std::mutex> hold(vcs);
    return static_cast<int32_t>(dict.size());
  }
  // A missing key is no error; the record itself survives.
  void RemoveSync(const std::string& Key) {
    std::lock_guard<std::mutex> hold(vcs);
    dict.erase(Key);
  }
  void ClearSync() {
    std::lock_guard<std::mutex> hold(vcs);
    dict.clear();
  }
  // Removes every key and returns the records it held (the caller releases
  // them).
  std::map<std::string, V*> TakeAllSync() {
    std::lock_guard<std::mutex> hold(vcs);
    return std::exchange(dict, {});
  }

 private:
  std::map<std::string, V*> dict;  // guarded by vcs (except Add)
  std::mutex vcs;
};

}  // namespace vantrel
