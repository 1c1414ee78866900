// SPDX-License-Identifier: GPL-2.0-or-later
/* The copy engine that qvsnap and qvctl's backups share: the run record, the per-worker record, the
 * engine's steps, its stop on a signal and its progress line. */
#ifndef QV_SNAP_ENGINE_H
#define QV_SNAP_ENGINE_H

#include <pthread.h>
#include <stdint.h>
#include <sys/types.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SNAP_INCREMENTAL 1u
#define SNAP_SEPARATED 2u
#define SNAP_HIDE_PROGRESS 4u
#define SNAP_NO_SPACE_CHECK 8u
#define SNAP_NO_WRITE 16u
/* snapfile_fd was opened and locked by the caller, who also closes it. */
#define SNAP_OUTPUT_LOCKED 32u
/* Compare every block of the snapshot with the image and rewrite those that differ (qvctl backup). */
#define SNAP_RESYNC 64u

/* The exit code of a run stopped by a signal. */
#define SNAP_INTERRUPTED 4u
#define SNAP_MARK_NAME "user.quorvex.incomplete"

#define SNAP_BLOCK_SIZE 4096u
#define SNAP_BLOCK_SECTORS 8u
#define SNAP_PATH_FIELD 129

typedef struct snap_options {
    char blkdev[SNAP_PATH_FIELD];
    char snapdev[SNAP_PATH_FIELD];
    char snapfile[SNAP_PATH_FIELD];
    int snapdev_fd;
    int snapfile_fd;
    int workers;
    uint32_t flags;
    uint64_t *changelog;
    qvctl_status status;
    /* Filled by the copy: blocks to copy, blocks and bytes copied. */
    uint64_t total;
    uint64_t copied;
    uint64_t bytes;
    /* Set while the output carries the incomplete mark and this run is to lift it. */
    int marked;
} snap_options;

typedef struct snap_worker {
    char *snapfile;
    int snapdev_fd;
    int snapfile_fd;
    uint64_t *changelog;
    uint64_t first;
    uint64_t last;
    uint64_t sectors;
    uint32_t flags;
    qvctl_status status;
    uint64_t copied;
    uint64_t bytes;
} snap_worker;

/* A per-block file name: the base and a dot are laid down once per worker, the sector's digits
 * are written after them for each block. */
typedef struct snap_block_name {
    char path[4096];
    size_t base_length;
} snap_block_name;

/* The run from the parsed options on: the snapshot device, the output, the copy, the closing. */
int snap_run(snap_options *opts);
/* Opens (unless SNAP_OUTPUT_LOCKED) and locks the single output file, marks it incomplete and,
 * in a base run, empties it. */
int snap_output_open(snap_options *opts);
/* After a successful copy puts the output's data on the disk and lifts the mark; closes what
 * snap_output_open opened. Answers the run's code, `result` unless the closing failed. */
int snap_output_finish(snap_options *opts, int result);

/* SIGINT, SIGTERM and SIGHUP stop the run before its next block; a second one ends the process. */
void snap_signals_install(void);
/* The first stopping signal caught, or 0. */
int snap_interrupt_signal(void);
void snap_interrupt_clear(void);

/* A comparison of an image with the snapshot device. */
#define SNAP_VERIFY_SECTORS_SHOWN 10u
typedef struct snap_verify_result {
    uint64_t blocks;
    uint64_t differing;
    uint64_t sectors[SNAP_VERIFY_SECTORS_SHOWN]; /* the first differing sectors, ascending */
    unsigned shown;
    uint64_t bytes_written; /* by a resync, which rewrites the differing blocks */
} snap_verify_result;
/* Compares snapfile_fd with snapdev_fd over every block, or the changelog's blocks with
 * SNAP_INCREMENTAL, with `workers` workers over contiguous ranges. */
int snap_verify(snap_options *opts, snap_verify_result *result);
/* Compares the `count` blocks at the given sectors, ascending, between the two descriptors. */
int snap_verify_blocks(snap_options *opts, const uint64_t *sectors, uint64_t count, snap_verify_result *result);
/* Compares every block and rewrites in the image those that differ, so that it ends equal to the
 * snapshot; total, copied and bytes tell blocks compared, rewritten and bytes written. */
int snap_resync(snap_options *opts);
/* The same from a device and an image path: finds the snapshot device, opens both, compares. */
int snap_verify_image(snap_options *opts, snap_verify_result *result);
void snap_options_init(snap_options *opts);

int snap_copy(snap_options *opts);
uint64_t snap_blocks_count(snap_options *opts);
/* Starts filling an index from its first entry. */
void snap_changelog_collect_begin(void);
int snap_changelog_collect(const qvctl_changelog_entry *entry, uint32_t count, void *index, qvctl_status *status);
/* Fills a base image with zeros to the device size, then hands its pages back. */
int snap_output_reset(snap_options *opts, uint64_t sectors);
void *snap_worker_run(void *worker);
int snap_block_copy(int in_fd, uint64_t in_offset, int out_fd, uint64_t out_offset, uint64_t length,
                         void *buffer, uint32_t flags, qvctl_status *status);
/* 0, or the status code when the base does not leave room for a sector's digits. */
int snap_block_name_init(snap_block_name *name, const char *base, qvctl_status *status);
/* Opens a file that the run creates or writes (O_CLOEXEC and a large-file open added, O_TRUNC done
 * only after the checks), never through a link or into a file that another user planted in a
 * world-writable sticky folder. -1 with errno on failure; a refusal also fills the status record. */
int snap_file_open(const char *path, int flags, mode_t mode, qvctl_status *status);
int snap_separated_open(snap_block_name *name, uint64_t sector, qvctl_status *status);
void snap_workers_join(pthread_t *threads, snap_worker *workers, int count, qvctl_status *status);
void *snap_progress_run(void *total);

/* " %8llu / %llu (%u%%)\r" into buf (at least 64 bytes); answers its length. */
int snap_progress_format(char *buf, size_t size, uint64_t copied, uint64_t total);
/* floor(100 * copied / total), 0 for a total of 0. */
unsigned snap_progress_percent(uint64_t copied, uint64_t total);

/* The copied-block counter: increments under the lock, lock-free reads by the progress thread. */
void snap_progress_reset(void);
void snap_progress_count(void);
uint64_t snap_progress_copied(void);
/* Tells the progress thread to end even though the count fell short of the total. */
void snap_progress_stop(void);

#ifdef __cplusplus
}
#endif

#endif
