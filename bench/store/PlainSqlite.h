/* Plain SQLite on a store file, for the store bench's reference figures. */
#ifndef QM_BENCH_PLAIN_SQLITE_H
#define QM_BENCH_PLAIN_SQLITE_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PlainStore PlainStore;

/* Opens the file, checkpoints its WAL, and compiles both queries once; NULL
 * on failure. */
PlainStore* plain_open(const char* path);
void plain_close(PlainStore* store);
/* Reads every normal message row of folder, newest first; the rows read.
 * Adds what it read to *checksum. */
long plain_scan(PlainStore* store, long long folder, unsigned long long* checksum);
/* The row id of the folder's first normal message with that search key, 0
 * when there is none; its property, recipient and attachment blobs are read
 * and added to *checksum. */
long long plain_probe(PlainStore* store, long long folder, const void* key, int size,
                      unsigned long long* checksum);

#ifdef __cplusplus
}
#endif

#endif
