// Pipes to and from shell commands, and the process-wide pipe state: the
// number of open pipes, the one pipe a close with "keep" leaves open for
// the next open to take over (the shared channel), the open pipe files,
// and the children whose close did not wait for them.
//
// Every pipe descriptor is close-on-exec from its creation, so no child
// inherits another pipe's end; every child is waited for by the time the
// file system shuts down (end_pipes).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct SequentialFile;

namespace kel::relseq {

// Starts "/bin/sh -c command" (else "sh" through the search path, else
// $SHELL) with the new pipe as its standard input (`to_child`) or output.
// Our end of the pipe, or -1 with E_SYSERR. The open-pipe count is raised.
int start_pipe(const char *command, bool to_child, pid_t *child);

// The shared channel: take it over when one is kept for this direction
// (true; the channel is then cleared), or keep a closing pipe's end.
bool take_shared_channel(bool to_child, int *fd, pid_t *child);
void keep_shared_channel(bool to_child, int fd, pid_t child);

// Closes a pipe's end (not kept) and waits for its child when no other
// pipe is open or WAIT_FOR_ALL_PIPES is on; otherwise the child is waited
// for later (at the next close of a pipe, at the latest at shutdown).
void end_pipe(int fd, pid_t child);

// Open pipe files, ended at shutdown if their callers did not close them.
void register_pipe_file(SequentialFile *f);
void unregister_pipe_file(SequentialFile *f);

// Shutdown: the kept channel and every pipe still open are closed, and
// every child is waited for.
void end_pipes();

// write() on a pipe whose reader may be gone: a broken pipe fails with
// EPIPE and never delivers SIGPIPE to the process.
ssize_t write_to_pipe(int fd, const void *bytes, size_t length);

// Number of pipes open (tests).
int32_t open_pipe_count();

}  // namespace kel::relseq
