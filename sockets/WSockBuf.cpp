// Send-buffer blocks and the block chain with its free list.
#include "sockets/WSockBuf.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {
constexpr int kDefaultBlock = 1460;
}

TSockBuffer::TSockBuffer(int size) { ResizeBlock(size); }

void TSockBuffer::ResizeBlock(int size) {
  if (size <= 0) size = kDefaultBlock;
  // Never below what has been written: shrinking must not cut unread data.
  if (size < FWrOffset) size = FWrOffset;
  if (size == FBufSize && FBuf) return;
  std::unique_ptr<char[]> block(new char[static_cast<size_t>(size)]);
  if (UnreadLength() > 0) {
    std::memcpy(block.get(), FBuf.get(), static_cast<size_t>(FWrOffset));
  } else {
    FWrOffset = FRdOffset = 0;
  }
  FBuf = std::move(block);
  FBufSize = size;
}

int TSockBuffer::Write(const void* data, int offset, int length) {
  if (!data || length <= 0 || offset < 0) return 0;
  int n = std::min(length, FBufSize - FWrOffset);
  if (n <= 0) return 0;
  std::memcpy(FBuf.get() + FWrOffset, static_cast<const char*>(data) + offset, static_cast<size_t>(n));
  FWrOffset += n;
  return n;
}

int TSockBuffer::Peek(const char*& pointer) const {
  int n = UnreadLength();
  pointer = n > 0 ? FBuf.get() + FRdOffset : nullptr;
  return n;
}

int TSockBuffer::Remove(int length) {
  int n = std::clamp(length, 0, UnreadLength());
  FRdOffset += n;
  if (FRdOffset >= FWrOffset) FRdOffset = FWrOffset = 0;
  return n;
}

TSockBufferLinkedList::~TSockBufferLinkedList() {
  while (TSockBuffer* b = PopFront()) delete b;
}

void TSockBufferLinkedList::PushFront(TSockBuffer* buf) {
  buf->Prev = nullptr;
  buf->Next = FHead;
  if (FHead)
    FHead->Prev = buf;
  else
    FTail = buf;
  FHead = buf;
}

void TSockBufferLinkedList::PushBack(TSockBuffer* buf) {
  buf->Next = nullptr;
  buf->Prev = FTail;
  if (FTail)
    FTail->Next = buf;
  else
    FHead = buf;
  FTail = buf;
}

TSockBuffer* TSockBufferLinkedList::PopFront() {
  TSockBuffer* b = FHead;
  if (!b) return nullptr;
  FHead = b->Next;
  if (FHead)
    FHead->Prev = nullptr;
  else
    FTail = nullptr;
  b->Next = b->Prev = nullptr;
  return b;
}

int TSockBufferLinkedList::Count() const {
  int n = 0;
  for (TSockBuffer* b = FHead; b; b = b->Next) ++n;
  return n;
}

TSockBufferHandler::TSockBufferHandler(TComponent* AOwner, int bufSize) : TComponent(AOwner) { SetBufSize(bufSize); }

void TSockBufferHandler::SetBufSize(int v) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  FBufSize = v <= 0 ? kDefaultBlock : v;
}

void TSockBufferHandler::AddBuffer() {
  TSockBuffer* b = FFree.PopFront();
  if (!b) b = new TSockBuffer(FBufSize);
  FInUse.PushBack(b);
}

void TSockBufferHandler::Write(const void* data, int length) {
  if (!data || length <= 0) return;
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (FInUse.Empty()) AddBuffer();
  int done = 0;
  while (done < length) {
    int n = FInUse.Tail()->Write(data, done, length - done);
    done += n;
    if (done < length) AddBuffer();
  }
}

int TSockBufferHandler::Peek(const char*& pointer) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (FInUse.Empty()) {
    pointer = nullptr;
    return 0;
  }
  return FInUse.Head()->Peek(pointer);
}

int TSockBufferHandler::PeekBlocks(iovec* ranges, int max) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  int n = 0;
  for (TSockBuffer* b = FInUse.Head(); b && n < max; b = b->Next) {
    const char* p;
    const int len = b->Peek(p);
    if (len <= 0) continue;
    ranges[n].iov_base = const_cast<char*>(p);
    ranges[n].iov_len = static_cast<size_t>(len);
    ++n;
  }
  return n;
}

void TSockBufferHandler::Remove(int length) {
  std::lock_guard<std::recursive_mutex> g(FLock);
  if (length < 0) throw Exception("TSockBufferHandler.Remove: Invalid Len " + std::to_string(length));
  if (FInUse.Empty()) throw Exception("TSockBufferHandler.Remove: nothing to remove");
  TSockBuffer* head = FInUse.Head();
  head->Remove(length);
  if (head->UnreadLength() == 0) FFree.PushFront(FInUse.PopFront());
}

bool TSockBufferHandler::IsEmpty() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  return FInUse.Empty() || FInUse.Head()->UnreadLength() == 0;
}

void TSockBufferHandler::ResetAll() {
  std::lock_guard<std::recursive_mutex> g(FLock);
  while (TSockBuffer* b = FInUse.PopFront()) {
    b->Reset();
    FFree.PushBack(b);
  }
}
