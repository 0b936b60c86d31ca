#pragma once

// A flat string dictionary of plain functions, the store beneath the INI
// parser. Keys keep the case they were written in and are compared without
// regard to case; a value may be null. Keys and values are heap copies owned
// by the dictionary.
//
// The table is a set of parallel arrays walked in slot order; a lookup
// matches a slot whose key is set, whose hash equals the key's hash and whose
// key equals the wanted one ignoring case. It starts with at least 128 slots
// and doubles when every slot is taken.

#include <stddef.h>
#include <stdint.h>

#include "kivo/base/kivo_types.h"

// Fewest slots of a dictionary.
#define DICT_MIN_SIZE 128

typedef struct _dictionary_ {
    int32_t n;        // entries in use
    int32_t size;     // slots
    char** val;       // size values, each may be null
    char** key;       // size keys, null for a free slot
    uint32_t* hash;   // size hashes of the keys
} dictionary;

// Jenkins one-at-a-time over the key's characters, each lower-cased first,
// so keys differing only in case hash alike. A null key hashes to 0.
uint32_t dictionary_hash(const char* key);

// A dictionary of `size` slots (fewer than DICT_MIN_SIZE: that many), or null
// when memory is short.
dictionary* dictionary_new(int32_t size);
// Frees every key and value and the dictionary itself; null is ignored.
void dictionary_del(dictionary* d);

// The value stored for `key` (which may be null), or `def` when the key is
// missing or d or key is null.
const char* dictionary_get(const dictionary* d, const char* key, const char* def);

// Stores a copy of `val` (or null) for `key`. An existing key keeps its slot
// and spelling; a new key takes the first free slot from index n on,
// wrapping to 0, after the table doubled when it was full. 0 on success; -1
// for a null d or key or when memory is short (the dictionary is then left
// as it was).
int dictionary_set(dictionary* d, const char* key, const char* val);

// Removes `key` and its value; a missing key changes nothing.
void dictionary_unset(dictionary* d, const char* key);

// Writes "%20s\t[%s]\n" for each entry ("UNDEF" for a null value), or
// "empty dictionary\n", to an open file handle of the file layer. 0, or -1
// when a write failed (writing stops there) or d is null. The cause through
// err when given: 0, the failed write's (dictionary_write_all), or EINVAL
// for a null d.
int dictionary_dump(const dictionary* d, int32_t handle, kivo_err_t* err = nullptr);

// Writes all `len` bytes to a file handle of the file layer, retrying short
// writes; false when the file layer refused or took nothing. The INI writer
// uses it too, so that every store reports a failed write. The cause through
// err when given: 0, the file layer's result, or EIO for a write that took
// nothing without one.
bool dictionary_write_all(int32_t handle, const char* buf, size_t len, kivo_err_t* err = nullptr);

// Slot index of `key`, or -1. For the parser, which walks slots itself.
int32_t _dictionary_find(const dictionary* d, const char* key);
