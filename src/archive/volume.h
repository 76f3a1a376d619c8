// The record and volume layer: the archive as a byte stream cut into
// fixed-size records and spread over volumes. It writes and reads volume
// headers, counts media blocks, changes volumes with the operator, swaps
// byte-swapped media and keeps the push-back stack of the recovery search.
// It knows nothing of members: the writer and the reader only hand it bytes.
//
// Media layout of a volume:
//   [-oh header file bytes] [volume header: one media block]
//   [records of record_size bytes each]
// Blocks are counted in media blocks: the volume header is 1, each record
// is blocks_per_record. A volume ends when the next record would pass the
// media size (-os, or the size in the volume header), or when a write
// comes back short or a read short (not on standard input, where a record
// is completed by further reads).
//
// Volumes on plain files. An output volume is never written over a regular
// file that still holds an earlier volume of the same run (the same file,
// still beginning with that volume's header): the operator who pressed
// return without moving the full volume away is told so (message 1194) and
// asked for the archive's file name again, as after a failed open.
//
// Transfers. On a device (character or block special file) every record is
// one read or write: a tape block. On a regular file or a pipe, records are
// gathered into transfers of up to kGatherBytes; the bytes, the volume
// limits and what happens after a short write stay exactly those of one
// transfer per record: a short gathered write keeps the whole records it
// wrote on the old volume and writes the cut record and all later ones
// again on the next volume, as a record-sized write would have. Gathered
// records are written later than single ones, so a volume change caused by
// a short write is announced once the gathered transfer is written.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kel::archive {

constexpr size_t kGatherBytes = 128 * 1024;
// Room for one member header with the longest name, its magic text and a
// little slack: what the recovery search pushes back.
constexpr size_t kPushbackCapacity = 48 + 999 + 16;

enum class Direction { kInput, kOutput };

// Looks at the archive descriptor of the transfer state (device or not)
// and sets up the buffers; called once after the options. The archive
// counts as standard input or output when no path was given.
void volume_begin();

// Output side.
void write_volume_header();
void write_archive_bytes(const void *bytes, size_t count);
// Zero-copy writing: room for up to `max` bytes of the stream (at least 1)
// that the caller fills, then hands over with archive_write_commit.
uint8_t *archive_write_space(size_t max, size_t *room);
void archive_write_commit(size_t count);
// End of an output run: the current record is filled with zero bytes and
// everything still held is written out.
void finish_archive_output();

// Input side.
void read_volume_header(bool any_volume);
// Fills `buffer` with the next `count` bytes and stores a zero byte after
// them: the buffer needs count + 1 bytes.
void read_archive_bytes(void *buffer, size_t count);
// Zero-copy reading: up to `max` (at least 1) next bytes of the stream,
// valid until the next call of this layer.
const uint8_t *archive_read_span(size_t max, size_t *got);
void skip_archive_bytes(uint64_t count);
// The next read returns this byte first (last pushed, first returned).
void push_back(uint8_t byte);

// Both sides.
void change_volume(Direction direction);
void reopen_archive();
void close_archive();
// Media blocks of the completed volumes plus those of the current one.
int64_t total_blocks();
// Releases the buffers (end of run; tests).
void volume_release();

// Tests: replace the system calls that move archive data and end a volume,
// and pretend that the archive is a device (1) or a regular file (0); -1
// asks fstat.
struct MediaHooks {
  ssize_t (*read)(int fd, void *buffer, size_t count);
  ssize_t (*write)(int fd, const void *buffer, size_t count);
  int (*close)(int fd);
  int force_device;
};
void volume_set_media_hooks(const MediaHooks *hooks);
bool archive_swapped();

}  // namespace kel::archive
