// Joining independently compressed deflate streams into one. A compressor that
// takes whole buffers ends each stream with a block marked final, after which
// a reader stops. ContinueDeflateStream walks the stream's blocks to find that
// last block, clears its final mark and ends the stream with an empty stored
// block, so that the stream stops on a byte boundary and the next one can
// follow it directly (what a sync flush of a streaming compressor gives):
//
//   chunk 1: [block][block][last block, final]      -> [block][block][last block][empty stored]
//   chunk 2: [block][last block, final]             -> [block][last block][empty stored]
//   chunk 3: [block][last block, final]                (the last chunk stays as it is)
//
// Each chunk must be compressed without reference to the one before it, which
// whole-buffer compressors do anyway. Safe to call from any thread.
#pragma once

#include <cstddef>

namespace ZelLog::detail {

// The most bytes ContinueDeflateStream adds: three bits of the block header,
// padding to the byte boundary, and the stored block's two 16-bit lengths.
constexpr std::size_t kDeflateContinueExtra = 5;

// Turns the raw deflate stream of exactly |size| bytes at |stream| into one that
// another stream may follow, in place; |stream| must have room for
// |size| + kDeflateContinueExtra bytes. Returns the new size, or 0 (with
// |stream| unchanged) when the bytes are not one complete deflate stream that
// ends in its last byte.
std::size_t ContinueDeflateStream(unsigned char* stream, std::size_t size);

}  // namespace ZelLog::detail
