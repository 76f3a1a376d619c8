// The sequential handler: record access to byte-stream files and pipes.
//
// Record formats on disk (`record size` is the maximum given at open):
//
//   type  name             bytes of one record
//   -1    fixed binary     exactly `record size` bytes, back to back
//   -2    variable binary  length L, big-endian, 2 bytes (4 when the record
//                          size exceeds 65535), then L bytes
//   -3    line             the record's bytes, then a line feed
//   -4    print line       the record's bytes, then carriage return and line
//                          feed; advancing writes line feeds or a form feed
//   other                  as line
//
// Reading lines: EOL_CHAR ends a record; line feed, carriage return and
// form feed are dropped unless CARRIAGE_CONTROL_FILTER keeps them (bit 0
// form feed, bit 1 carriage return, bit 2 line feed); bytes beyond the
// record size are dropped up to the terminator.
//
// Damage met while reading is E_BROKEN with the secondary codes below.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace kel::relseq {

enum RecordType : int32_t {
  kFixed = -1,
  kVariable = -2,
  kLine = -3,
  kPrint = -4,
};

constexpr int32_t kSeqCutLengthPrefix = 1;  // a variable record's prefix cut by the end
constexpr int32_t kSeqCutRecord = 2;        // a variable record's bytes cut by the end

constexpr int32_t kNoAdvancing = 32767;
constexpr int32_t kPageAdvance = 9999;  // magnitudes from here advance to a new page
constexpr uint32_t kMinBlockSize = 2048;
constexpr uint32_t kMaxBlockSize = uint32_t{1} << 30;
constexpr int32_t kFlagSharedPipe = 0x1;
constexpr int32_t kFlagFlushByRecords = 0x2;

// Block size and records per flush chosen at open.
struct Buffering {
  uint32_t block_size = 0;  // 0: unbuffered
  int32_t records_per_flush = 0;
};
// `mode` is the whole open mode (access and sharing bits);
// `default_size` is A_SEQ_DEFAULT_BLOCK_SIZE.
Buffering choose_buffering(int32_t mode, int32_t type, uint32_t record_size, uint32_t given,
                           int32_t flags, bool pipe, int32_t default_size);

}  // namespace kel::relseq

// The open file ("sequential file info").
struct SequentialFile {
  int32_t descriptor;  // file-table number, or the pipe's own descriptor
  int32_t mode;        // access: 0 input, 1 output, 2 input-output, 3 extend
  uint32_t record_size;
  int32_t record_type;
  uint32_t block_size;  // 0: unbuffered
  // The block ("sequential file block"). Unbuffered files get a scratch
  // block for one record, emptied after every record (reads of a seekable
  // file re-read the file each time; pipes keep what was read ahead).
  uint8_t *block;
  uint32_t capacity;
  uint32_t data_length;  // bytes held (reading) or waiting to go out (writing)
  int64_t block_offset;  // file offset of block[0] when reading
  int32_t pad_char;      // negative: none
  int32_t records_per_flush;
  int32_t records_since_flush;
  int64_t next_position;  // -1: undefined
  int64_t last_position;  // of the last record read; -1: none
  int32_t last_length;    // of the last record read, terminator included
  int64_t pipe_position;  // bytes consumed from a pipe
  uint8_t eol;            // EOL_CHAR and CARRIAGE_CONTROL_FILTER at open
  uint8_t filter;
  // Reading lines: the block from block_offset (when scanned_offset equals
  // it; every change of the block's bytes sets it to -1) holds no byte the
  // filter drops before clean_until, so the lines there are copied whole.
  int64_t scanned_offset;
  int64_t clean_until;
  bool line_pending;
  bool is_pipe;
  bool holds_descriptor;
  bool to_child;  // a pipe feeding its command
  pid_t child;
  SequentialFile *next_pipe;  // open pipe files (pipes.cpp)
};

namespace kel::relseq {

SequentialFile *sequential_open(const char *name, int32_t mode, uint32_t record_size,
                                int32_t record_type, uint32_t block_size, int32_t pad_char,
                                const char *pipe, int32_t flags);
int32_t sequential_close(SequentialFile *f, int32_t keep);
int32_t sequential_info(SequentialFile *f, int32_t code, char *buffer);
int32_t sequential_read(SequentialFile *f, char *record);
int32_t sequential_write(SequentialFile *f, const char *record, uint32_t length, int32_t advancing);
int32_t sequential_rewrite(SequentialFile *f, const char *record, uint32_t length);
int64_t sequential_seek(SequentialFile *f, int64_t offset, int32_t whence);

// The descriptor to read and write (pipes: their own; files: through the
// file table).
int sequential_fd(const SequentialFile *f);
// Writes out the bytes waiting in the block: 1, or 0 with E_DISK_FULL
// (short write; E_SYSERR on a pipe) or E_SYSERR. Unwritten bytes stay.
int32_t flush_block(SequentialFile *f);

}  // namespace kel::relseq
