#include "kivo/utils/dictionary.h"

#include <assert.h>
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "kivo/base/kivo_vfs.h"

namespace {

// Output lines are formatted into this many characters (plus a terminator).
const int kLineMax = 1024;

char* _dup(const char* s)
{
    if (!s)
        return nullptr;
    size_t n = strlen(s) + 1;
    char* p = static_cast<char*>(malloc(n));
    if (p)
        memcpy(p, s, n);
    return p;
}


// Doubles the three arrays; on failure the old ones stay untouched.
bool _grow(dictionary* d)
{
    if (d->size > INT32_MAX / 2)
        return false;
    int32_t size = d->size * 2;
    char** val = static_cast<char**>(calloc(static_cast<size_t>(size), sizeof(char*)));
    char** key = static_cast<char**>(calloc(static_cast<size_t>(size), sizeof(char*)));
    uint32_t* hash = static_cast<uint32_t*>(calloc(static_cast<size_t>(size), sizeof(uint32_t)));
    if (!val || !key || !hash) {
        free(val);
        free(key);
        free(hash);
        return false;
    }
    memcpy(val, d->val, static_cast<size_t>(d->size) * sizeof(char*));
    memcpy(key, d->key, static_cast<size_t>(d->size) * sizeof(char*));
    memcpy(hash, d->hash, static_cast<size_t>(d->size) * sizeof(uint32_t));
    free(d->val);
    free(d->key);
    free(d->hash);
    d->val = val;
    d->key = key;
    d->hash = hash;
    d->size = size;
    return true;
}

}  // namespace

uint32_t dictionary_hash(const char* key)
{
    uint32_t h = 0;
    if (!key)
        return 0;
    for (const char* p = key; *p; ++p) {
        h += static_cast<uint32_t>(tolower(static_cast<unsigned char>(*p)));
        h += h << 10;
        h ^= h >> 6;
    }
    h += h << 3;
    h ^= h >> 11;
    h += h << 15;
    return h;
}

dictionary* dictionary_new(int32_t size)
{
    if (size < DICT_MIN_SIZE)
        size = DICT_MIN_SIZE;
    dictionary* d = static_cast<dictionary*>(calloc(1, sizeof(dictionary)));
    if (!d)
        return nullptr;
    d->size = size;
    d->val = static_cast<char**>(calloc(static_cast<size_t>(size), sizeof(char*)));
    d->key = static_cast<char**>(calloc(static_cast<size_t>(size), sizeof(char*)));
    d->hash = static_cast<uint32_t*>(calloc(static_cast<size_t>(size), sizeof(uint32_t)));
    if (!d->val || !d->key || !d->hash) {
        free(d->val);
        free(d->key);
        free(d->hash);
        free(d);
        return nullptr;
    }
    return d;
}

void dictionary_del(dictionary* d)
{
    if (!d)
        return;
    for (int32_t i = 0; i < d->size; ++i) {
        free(d->key[i]);
        free(d->val[i]);
    }
    free(d->val);
    free(d->key);
    free(d->hash);
    free(d);
}

int32_t _dictionary_find(const dictionary* d, const char* key)
{
    if (!d || !key || d->n <= 0)
        return -1;
    uint32_t h = dictionary_hash(key);
    for (int32_t i = 0; i < d->size; ++i) {
        if (d->key[i] && d->hash[i] == h && strcasecmp(d->key[i], key) == 0)
            return i;
    }
    return -1;
}

const char* dictionary_get(const dictionary* d, const char* key, const char* def)
{
    int32_t i = _dictionary_find(d, key);
    return i < 0 ? def : d->val[i];
}

int dictionary_set(dictionary* d, const char* key, const char* val)
{
    if (!d || !key)
        return -1;
    // The copy is made first so that a failure keeps the old value.
    char* v = _dup(val);
    if (val && !v)
        return -1;
    int32_t i = _dictionary_find(d, key);
    if (i >= 0) {
        free(d->val[i]);
        d->val[i] = v;
        return 0;
    }
    if (d->n >= d->size && !_grow(d)) {
        free(v);
        return -1;
    }
    char* k = _dup(key);
    if (!k) {
        free(v);
        return -1;
    }
    int32_t slot = d->n;
    while (d->key[slot]) {
        if (++slot == d->size)
            slot = 0;
    }
    d->key[slot] = k;
    d->val[slot] = v;
    d->hash[slot] = dictionary_hash(key);
    d->n++;
    return 0;
}

void dictionary_unset(dictionary* d, const char* key)
{
    int32_t i = _dictionary_find(d, key);
    if (i < 0)
        return;
    free(d->key[i]);
    free(d->val[i]);
    d->key[i] = nullptr;
    d->val[i] = nullptr;
    d->hash[i] = 0;
    d->n--;
}

int dictionary_dump(const dictionary* d, int32_t handle, kivo_err_t* err)
{
    if (!d) {
        if (err)
            *err = EINVAL;
        return -1;
    }
    if (d->n < 1)
        return dictionary_write_all(handle, "empty dictionary\n", 17, err) ? 0 : -1;
    char* bufw = static_cast<char*>(calloc(kLineMax + 1, 1));
    assert(bufw);
    if (err)
        *err = 0;
    int rc = 0;
    for (int32_t i = 0; i < d->size && rc == 0; ++i) {
        if (!d->key[i])
            continue;
        int len = snprintf(bufw, kLineMax + 1, "%20s\t[%s]\n", d->key[i], d->val[i] ? d->val[i] : "UNDEF");
        if (len > kLineMax) {
            len = kLineMax;
            bufw[len - 1] = '\n';
        }
        if (len > 0 && !dictionary_write_all(handle, bufw, static_cast<size_t>(len), err))
            rc = -1;
    }
    free(bufw);
    return rc;
}

bool dictionary_write_all(int32_t handle, const char* buf, size_t len, kivo_err_t* err)
{
    kivo_err_t e = 0;
    while (len > 0 && e == 0) {
        ssize_t done = 0;
        e = kivo_file_write(handle, buf, len, &done);
        if (e == 0 && done <= 0)
            e = EIO;  // took nothing, and said no cause
        if (e == 0) {
            buf += done;
            len -= static_cast<size_t>(done);
        }
    }
    if (err)
        *err = e;
    return e == 0;
}
