#include "engine/byte_queue.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

namespace {

QueueBlock* DefaultAllocator() { return new (std::nothrow) QueueBlock; }

std::atomic<ByteQueue::BlockAllocator> g_allocator{&DefaultAllocator};

}  // namespace

void ByteQueue::SetBlockAllocator(BlockAllocator alloc)
{
    g_allocator.store(alloc ? alloc : &DefaultAllocator);
}

QueueBlock* ByteQueue::AppendBlock()
{
    QueueBlock* block = spare_;
    if (block) {
        spare_ = block->next;
        --spareCount_;
        *block = QueueBlock();
    } else {
        block = g_allocator.load()();
    }
    if (!block) {
        outOfMemory_ = true;
        return nullptr;
    }
    if (last_)
        last_->next = block;
    else
        first_ = block;
    last_ = block;
    return block;
}

uint32_t ByteQueue::Write(const void* bytes, uint32_t n)
{
    const auto* src = static_cast<const unsigned char*>(bytes);
    uint32_t stored = 0;
    while (stored < n) {
        QueueBlock* block = last_;
        if (!block || block->writePos == kBlockSize) {
            block = AppendBlock();
            if (!block)
                break;  // out of memory: keep what fitted, never overwrite
        }
        uint32_t room = static_cast<uint32_t>(kBlockSize - block->writePos);
        uint32_t take = std::min(room, n - stored);
        std::memcpy(block->data + block->writePos, src + stored, take);
        block->writePos += static_cast<int32_t>(take);
        stored += take;
    }
    count_ += stored;
    return stored;
}

uint32_t ByteQueue::Read(void* destination, uint32_t max)
{
    if (count_ == 0)
        return 0;
    auto* dst = static_cast<unsigned char*>(destination);
    uint32_t moved = 0;
    while (moved < max && first_) {
        QueueBlock* block = first_;
        if (block->readPos == kBlockSize) {
            // Filled and read to its end: released lazily, here.
            first_ = block->next;
            if (!first_)
                last_ = nullptr;
            Release(block);
            continue;
        }
        uint32_t avail = static_cast<uint32_t>(block->writePos - block->readPos);
        uint32_t take = std::min(avail, max - moved);
        if (take == 0)
            break;
        std::memcpy(dst + moved, block->data + block->readPos, take);
        block->readPos += static_cast<int32_t>(take);
        moved += take;
    }
    count_ -= moved;
    return moved;
}

void ByteQueue::Release(QueueBlock* block)
{
    if (spareCount_ < kMaxSpareBlocks) {
        block->next = spare_;
        spare_ = block;
        ++spareCount_;
    } else {
        delete block;
    }
}

void ByteQueue::Clear()
{
    for (QueueBlock** chain : {&first_, &spare_}) {
        while (*chain) {
            QueueBlock* next = (*chain)->next;
            delete *chain;
            *chain = next;
        }
    }
    last_ = nullptr;
    count_ = 0;
    spareCount_ = 0;
}

bool ByteQueue::TakeOutOfMemory()
{
    bool was = outOfMemory_;
    outOfMemory_ = false;
    return was;
}

int ByteQueue::BlockCount() const
{
    int n = 0;
    for (const QueueBlock* b = first_; b; b = b->next)
        ++n;
    return n;
}
