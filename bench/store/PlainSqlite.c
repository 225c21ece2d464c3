/* The reference of the store bench: what a C program on plain SQLite does to
 * read the same rows of the same file, with nothing of the store in between.
 * It asks for the columns that carry a folder check's four values (search
 * key, row id for the entry id, modification time, change number for the
 * change key) in the order the check reads them, and touches every byte it
 * gets so that nothing is skipped. Its probe by search key reads the whole
 * row found, as a find that hands out the message must. */
#include "bench/store/PlainSqlite.h"

#include <sqlite3.h>
#include <stddef.h>

struct PlainStore {
    sqlite3* db;
    sqlite3_stmt* scan;
    sqlite3_stmt* probe;
};

PlainStore* plain_open(const char* path) {
    PlainStore* store = sqlite3_malloc(sizeof *store);
    if (store == NULL) {
        return NULL;
    }
    store->db = NULL;
    store->scan = NULL;
    store->probe = NULL;
    /* Read-write, as the store opens it: a read-only connection to a file in
     * WAL mode may have to rebuild the WAL index for every transaction. The
     * checkpoint moves what the fill left in the WAL into the file, so that
     * both sides read the same pages from the same place. */
    if (sqlite3_open_v2(path, &store->db, SQLITE_OPEN_READWRITE, NULL) != SQLITE_OK ||
        sqlite3_exec(store->db, "PRAGMA wal_checkpoint(TRUNCATE)", NULL, NULL, NULL) != SQLITE_OK ||
        sqlite3_prepare_v2(store->db,
                           "SELECT search_key, id, mtime, cn FROM messages "
                           "WHERE folder = ? AND assoc = 0 ORDER BY mtime DESC, id DESC",
                           -1, &store->scan, NULL) != SQLITE_OK ||
        sqlite3_prepare_v2(store->db,
                           "SELECT id, props, recips, atts FROM messages "
                           "INDEXED BY messages_search_key "
                           "WHERE search_key = ? AND folder = ? AND assoc = 0 ORDER BY id",
                           -1, &store->probe, NULL) != SQLITE_OK) {
        plain_close(store);
        return NULL;
    }
    return store;
}

void plain_close(PlainStore* store) {
    if (store == NULL) {
        return;
    }
    sqlite3_finalize(store->scan);
    sqlite3_finalize(store->probe);
    sqlite3_close(store->db);
    sqlite3_free(store);
}

long plain_scan(PlainStore* store, long long folder, unsigned long long* checksum) {
    long rows = 0;
    unsigned long long sum = 0;
    sqlite3_reset(store->scan);
    sqlite3_bind_int64(store->scan, 1, folder);
    while (sqlite3_step(store->scan) == SQLITE_ROW) {
        const unsigned char* key = sqlite3_column_blob(store->scan, 0);
        int size = sqlite3_column_bytes(store->scan, 0);
        for (int i = 0; i < size; ++i) {
            sum += key[i];
        }
        sum += (unsigned long long)sqlite3_column_int64(store->scan, 1);
        sum += (unsigned long long)sqlite3_column_int64(store->scan, 2);
        sum += (unsigned long long)sqlite3_column_int64(store->scan, 3);
        ++rows;
    }
    sqlite3_reset(store->scan);
    *checksum += sum;
    return rows;
}

long long plain_probe(PlainStore* store, long long folder, const void* key, int size,
                      unsigned long long* checksum) {
    long long id = 0;
    sqlite3_reset(store->probe);
    sqlite3_bind_blob(store->probe, 1, key, size, SQLITE_STATIC);
    sqlite3_bind_int64(store->probe, 2, folder);
    if (sqlite3_step(store->probe) == SQLITE_ROW) {
        unsigned long long sum = 0;
        for (int column = 1; column <= 3; ++column) {
            const unsigned char* data = sqlite3_column_blob(store->probe, column);
            int bytes = sqlite3_column_bytes(store->probe, column);
            for (int i = 0; i < bytes; ++i) {
                sum += data[i];
            }
        }
        id = sqlite3_column_int64(store->probe, 0);
        *checksum += sum;
    }
    sqlite3_reset(store->probe);
    return id;
}
