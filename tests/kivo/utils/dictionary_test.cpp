#include "kivo/utils/dictionary.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>

#include <memory>
#include <string>

#include "ini_test_sandbox.h"

namespace {

struct DictDeleter {
    void operator()(dictionary* d) const { dictionary_del(d); }
};
typedef std::unique_ptr<dictionary, DictDeleter> DictPtr;

DictPtr NewDict(int32_t size = 0)
{
    return DictPtr(dictionary_new(size));
}

// Jenkins one-at-a-time of the lower-cased key, worked out by hand: "a" is
// h = 97, h += h << 10 -> 99425, h ^= h >> 6 -> 98928, then the final
// mixing steps give 0xca2e9442.
TEST(DictionaryHash, KnownValuesAndCaseFolding)
{
    struct {
        const char* key;
        uint32_t hash;
    } const cases[] = {
        {"", 0u},
        {"a", 0xca2e9442u},
        {"A", 0xca2e9442u},
        {"main:version", 0x4bd58358u},
        {"SYS:Check_CRC", 0x2e4a4f85u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dictionary_hash(c.key), c.hash) << c.key;
    EXPECT_EQ(dictionary_hash(nullptr), 0u);
}

TEST(Dictionary, NewHasAtLeastTheMinimumSize)
{
    EXPECT_EQ(NewDict(0)->size, DICT_MIN_SIZE);
    EXPECT_EQ(NewDict(-5)->size, DICT_MIN_SIZE);
    DictPtr d = NewDict(300);
    EXPECT_EQ(d->size, 300);
    EXPECT_EQ(d->n, 0);
}

TEST(Dictionary, SetGetUnsetIgnoreCaseAndKeepSpelling)
{
    DictPtr d = NewDict();
    ASSERT_EQ(dictionary_set(d.get(), "Main:Version", "1.0"), 0);
    ASSERT_EQ(dictionary_set(d.get(), "Main", nullptr), 0);
    EXPECT_EQ(d->n, 2);
    EXPECT_STREQ(dictionary_get(d.get(), "main:VERSION", "none"), "1.0");
    EXPECT_EQ(dictionary_get(d.get(), "MAIN", "none"), nullptr);  // stored null, not the default
    EXPECT_STREQ(dictionary_get(d.get(), "main:other", "none"), "none");

    // Overwriting keeps the slot, the count and the first spelling.
    ASSERT_EQ(dictionary_set(d.get(), "MAIN:version", "2.0"), 0);
    EXPECT_EQ(d->n, 2);
    EXPECT_STREQ(d->key[0], "Main:Version");
    EXPECT_STREQ(d->val[0], "2.0");

    dictionary_unset(d.get(), "main:version");
    EXPECT_EQ(d->n, 1);
    EXPECT_EQ(d->key[0], nullptr);
    EXPECT_EQ(d->hash[0], 0u);
    EXPECT_STREQ(dictionary_get(d.get(), "Main:Version", "gone"), "gone");
    dictionary_unset(d.get(), "never:there");
    EXPECT_EQ(d->n, 1);
}

TEST(Dictionary, ValuesAreCopies)
{
    DictPtr d = NewDict();
    char buf[] = "abc";
    ASSERT_EQ(dictionary_set(d.get(), "k", buf), 0);
    buf[0] = 'X';
    EXPECT_STREQ(dictionary_get(d.get(), "k", nullptr), "abc");
}

TEST(Dictionary, NullArgumentsAreRefused)
{
    DictPtr d = NewDict();
    EXPECT_EQ(dictionary_set(nullptr, "k", "v"), -1);
    EXPECT_EQ(dictionary_set(d.get(), nullptr, "v"), -1);
    EXPECT_STREQ(dictionary_get(nullptr, "k", "def"), "def");
    EXPECT_STREQ(dictionary_get(d.get(), nullptr, "def"), "def");
    dictionary_unset(nullptr, "k");
    dictionary_del(nullptr);
    EXPECT_EQ(d->n, 0);
}

TEST(Dictionary, GrowsByDoublingWithoutLosingEntriesOrOrder)
{
    DictPtr d = NewDict();
    const int count = 1000;
    for (int i = 0; i < count; ++i) {
        std::string k = "sec:key" + std::to_string(i);
        ASSERT_EQ(dictionary_set(d.get(), k.c_str(), std::to_string(i * 7).c_str()), 0) << i;
    }
    EXPECT_EQ(d->n, count);
    EXPECT_EQ(d->size, 1024);
    for (int i = 0; i < count; ++i) {
        std::string k = "SEC:KEY" + std::to_string(i);
        ASSERT_STREQ(dictionary_get(d.get(), k.c_str(), nullptr), std::to_string(i * 7).c_str()) << i;
        // Slot order is insertion order while nothing was removed.
        ASSERT_EQ(d->key[i], "sec:key" + std::to_string(i));
        ASSERT_EQ(d->hash[i], dictionary_hash(k.c_str()));
    }
}

TEST(Dictionary, NewKeyTakesFirstFreeSlotFromNWrapping)
{
    DictPtr d = NewDict();
    for (int i = 0; i < DICT_MIN_SIZE; ++i)
        ASSERT_EQ(dictionary_set(d.get(), ("k" + std::to_string(i)).c_str(), "v"), 0);
    ASSERT_EQ(d->n, d->size);
    dictionary_unset(d.get(), "k5");
    // n is 127; slot 127 is taken, so the search wraps to 0 and finds 5.
    ASSERT_EQ(dictionary_set(d.get(), "fresh", "x"), 0);
    EXPECT_EQ(d->size, DICT_MIN_SIZE);
    EXPECT_STREQ(d->key[5], "fresh");
    // Now full again: the next one doubles the table and lands at index n.
    ASSERT_EQ(dictionary_set(d.get(), "more", "y"), 0);
    EXPECT_EQ(d->size, 2 * DICT_MIN_SIZE);
    EXPECT_STREQ(d->key[DICT_MIN_SIZE], "more");
    EXPECT_STREQ(dictionary_get(d.get(), "k127", nullptr), "v");
}

class DictionaryDump : public IniSandbox {
protected:
    std::string Dump(const dictionary* d)
    {
        int32_t h = -1;
        EXPECT_EQ(kivo_file_create(&h, "/dump.txt"), 0);
        EXPECT_EQ(dictionary_dump(d, h), 0);
        kivo_file_close(h);
        return Get("/dump.txt");
    }
};

TEST_F(DictionaryDump, WritesEntriesOrEmptyNote)
{
    DictPtr d = NewDict();
    EXPECT_EQ(Dump(d.get()), "empty dictionary\n");
    dictionary_set(d.get(), "a:x", "1");
    dictionary_set(d.get(), "a", nullptr);
    EXPECT_EQ(Dump(d.get()), "                 a:x\t[1]\n"
                             "                   a\t[UNDEF]\n");
}

// A failed dump hands back its cause: the file layer's for a write it
// refused (a handle open for reading only), EINVAL for no dictionary.
TEST_F(DictionaryDump, FailureHandsBackItsCause)
{
    DictPtr full = NewDict();
    dictionary_set(full.get(), "a", "1");
    DictPtr empty = NewDict();
    Put("/r.txt", "");
    struct {
        const char* what;
        const dictionary* d;
        bool writable;
        int rc;
        kivo_err_t err;
    } const cases[] = {
        {"written", full.get(), true, 0, 0},
        {"read-only handle", full.get(), false, -1, EBADF},
        {"read-only handle, empty dictionary", empty.get(), false, -1, EBADF},
        {"no dictionary", nullptr, true, -1, EINVAL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int32_t h = -1;
        ASSERT_EQ(c.writable ? kivo_file_create(&h, "/dump.txt") : kivo_file_open(&h, "/r.txt", O_RDONLY), 0);
        kivo_err_t err = -1;
        EXPECT_EQ(dictionary_dump(c.d, h, &err), c.rc);
        EXPECT_EQ(err, c.err);
        kivo_file_close(h);
    }
}

TEST_F(DictionaryDump, LongEntryIsCutToOneLine)
{
    DictPtr d = NewDict();
    std::string big(3000, 'v');
    dictionary_set(d.get(), "k", big.c_str());
    std::string out = Dump(d.get());
    ASSERT_EQ(out.size(), 1024u);
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.find('\n'), 1023u);
}

}  // namespace
