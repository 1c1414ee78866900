/* The image tool's own records and operations: the run record that main fills and the copy engine
 * reads, the per-worker record, and the engine's steps. */
#ifndef QV_SNAP_H
#define QV_SNAP_H

#include <pthread.h>
#include <stdint.h>

#include "qvctl.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SNAP_INCREMENTAL 1u
#define SNAP_SEPARATED 2u
#define SNAP_HIDE_PROGRESS 4u
#define SNAP_NO_SPACE_CHECK 8u
#define SNAP_NO_WRITE 16u

#define CLI_VERSION 2u
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
} snap_worker;

/* A per-block file name: the base and a dot are laid down once per worker, the sector's digits
 * are written after them for each block. */
typedef struct snap_block_name {
    char path[4096];
    size_t base_length;
} snap_block_name;

int snap_main(int argc, char **argv);
void snap_options_init(snap_options *opts);
/* Parses the command line into opts and log_level; ends the process on usage, version and
 * argument errors. */
void snap_options_parse(int argc, char **argv, snap_options *opts, int *log_level);
[[noreturn]] void print_usage(const char *name, FILE *stream, int status);
[[noreturn]] void print_version(const char *name);
[[noreturn]] void print_cli_version(void);

uint32_t snap_copy(snap_options *opts);
uint64_t snap_blocks_count(snap_options *opts);
/* Starts filling an index from its first entry. */
void snap_changelog_collect_begin(void);
int snap_changelog_collect(const qvctl_changelog_entry *entry, uint32_t count, void *index, qvctl_status *status);
/* Fills a base image with zeros to the device size, then hands its pages back. */
uint32_t snap_output_reset(snap_options *opts, uint64_t sectors);
void *snap_worker_run(void *worker);
uint32_t snap_block_copy(int in_fd, uint64_t in_offset, int out_fd, uint64_t out_offset, uint64_t length,
                         void *buffer, uint32_t flags, qvctl_status *status);
/* 0, or the status code when the base does not leave room for a sector's digits. */
uint32_t snap_block_name_init(snap_block_name *name, const char *base, qvctl_status *status);
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
