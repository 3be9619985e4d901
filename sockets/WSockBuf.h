// Send buffers: a chain of fixed-size blocks that holds the bytes a socket has
// accepted but the network has not taken yet.
//
// TSockBufferHandler keeps an in-use list (filled at the tail, drained at the
// head) and a free list of emptied blocks that are reused, so blocks are never
// freed while the handler lives. Its lock is recursive: the owning socket holds
// it while it sends, and event handlers called meanwhile may queue more data.
#pragma once

#include <sys/uio.h>

#include <memory>
#include <mutex>

#include "rtl/Classes.h"

// One block: unread data is the range read offset .. write offset.
class TSockBuffer : public TObject {
  RTL_CLASS(TSockBuffer, TObject)
 public:
  explicit TSockBuffer(int size);

  // A size of 0 or less means 1460. Unread data is kept; the block never
  // shrinks below its write offset.
  void ResizeBlock(int size);
  // Copies min(length, free space) bytes from data + offset; returns the count.
  int Write(const void* data, int offset, int length);
  // Points at the unread data and returns its length (0 when none).
  int Peek(const char*& pointer) const;
  // Drops min(length, unread) bytes; an emptied block returns to offsets 0.
  int Remove(int length);
  int UnreadLength() const { return FWrOffset - FRdOffset; }
  int BlockSize() const { return FBufSize; }
  // Offsets back to 0 (contents discarded).
  void Reset() { FWrOffset = FRdOffset = 0; }

  TSockBuffer* Next = nullptr;
  TSockBuffer* Prev = nullptr;

 private:
  std::unique_ptr<char[]> FBuf;
  int FBufSize = 0;
  int FWrOffset = 0;
  int FRdOffset = 0;
};

// Doubly linked list that owns its blocks.
class TSockBufferLinkedList : public TObject {
  RTL_CLASS(TSockBufferLinkedList, TObject)
 public:
  TSockBufferLinkedList() = default;
  ~TSockBufferLinkedList() override;
  TSockBufferLinkedList(const TSockBufferLinkedList&) = delete;
  TSockBufferLinkedList& operator=(const TSockBufferLinkedList&) = delete;

  void PushFront(TSockBuffer* buf);
  void PushBack(TSockBuffer* buf);
  // nullptr when empty; the caller owns the block it gets.
  TSockBuffer* PopFront();
  TSockBuffer* Head() const { return FHead; }
  TSockBuffer* Tail() const { return FTail; }
  bool Empty() const { return FHead == nullptr; }
  int Count() const;

 private:
  TSockBuffer* FHead = nullptr;
  TSockBuffer* FTail = nullptr;
};

class TSockBufferHandler : public TComponent {
  RTL_CLASS(TSockBufferHandler, TComponent)
 public:
  explicit TSockBufferHandler(TComponent* AOwner, int bufSize = 1460);

  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }
  // For std::lock_guard.
  void lock() { Lock(); }
  void unlock() { Unlock(); }

  // Stores every byte at the tail, adding blocks (reused ones first) as needed.
  void Write(const void* data, int length);
  // The head block's unread data (0 when the chain is empty).
  int Peek(const char*& pointer);
  // The unread data of up to `max` blocks from the head, in order; returns the
  // number of ranges filled.
  int PeekBlocks(iovec* ranges, int max);
  // Removes from the head block only; an emptied head goes to the free list.
  // Raises Exception "TSockBufferHandler.Remove: Invalid Len <n>" for a negative
  // length and "TSockBufferHandler.Remove: nothing to remove" on an empty chain.
  void Remove(int length);
  bool IsEmpty();
  // Every in-use block is emptied and moved to the free list.
  void ResetAll();

  int BufSize() const { return FBufSize; }
  // Affects blocks created afterwards; 0 or less means 1460.
  void SetBufSize(int v);

  int InUseCount() const { return FInUse.Count(); }
  int FreeCount() const { return FFree.Count(); }

 private:
  void AddBuffer();

  TSockBufferLinkedList FInUse;
  TSockBufferLinkedList FFree;
  int FBufSize = 1460;
  std::recursive_mutex FLock;
};
