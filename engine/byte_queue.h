// First-in first-out byte queue stored as a chain of 256-byte blocks.
#pragma once

#include <cstdint>

struct QueueBlock {
    unsigned char data[256];
    int32_t readPos = 0;
    int32_t writePos = 0;
    QueueBlock* next = nullptr;
};

class ByteQueue {
public:
    static constexpr int32_t kBlockSize = 256;

    explicit ByteQueue(uint32_t limit = 0) : limit_(limit) {}
    ~ByteQueue() { Clear(); }
    ByteQueue(const ByteQueue&) = delete;
    ByteQueue& operator=(const ByteQueue&) = delete;

    // Stores the bytes and gives how many were stored. Only a failed block
    // allocation stores fewer; the queue then remembers it (OutOfMemory) so
    // the bridge can end the connection instead of silently losing bytes.
    uint32_t Write(const void* bytes, uint32_t n);
    // Moves up to max bytes out, oldest first; gives how many.
    uint32_t Read(void* destination, uint32_t max);
    void Clear();

    bool IsOverLimit() const { return limit_ != 0 && count_ > limit_; }
    uint32_t Count() const { return count_; }
    uint32_t Limit() const { return limit_; }

    // True once a write could not get memory; TakeOutOfMemory clears it.
    bool OutOfMemory() const { return outOfMemory_; }
    bool TakeOutOfMemory();

    // Blocks in the chain, for tests of the block layout.
    int BlockCount() const;
    const QueueBlock* FirstBlock() const { return first_; }

    // Tests replace the block allocator to simulate memory exhaustion.
    using BlockAllocator = QueueBlock* (*)();
    static void SetBlockAllocator(BlockAllocator alloc);

private:
    // Read blocks are kept for later writes, up to this many: a stream of
    // large pieces then costs no allocation per block.
    static constexpr uint32_t kMaxSpareBlocks = 256;

    QueueBlock* AppendBlock();
    void Release(QueueBlock* block);

    QueueBlock* spare_ = nullptr;
    uint32_t spareCount_ = 0;
    QueueBlock* first_ = nullptr;
    QueueBlock* last_ = nullptr;
    uint32_t count_ = 0;
    uint32_t limit_ = 0;
    bool outOfMemory_ = false;
};
