/*
 * Writes the GBK tables of kivo/base/iconvex from the build machine's iconv
 * (its GBK converter). The device program is static, so it carries its own
 * tables instead of calling iconv at run time.
 *
 * Usage: gbk_table_gen OUTPUT
 *
 * This runs on the build machine, also in the ARM cross build; it is compiled
 * with the host compiler by cmake/gbk_table.cmake.
 *
 * Decoding tables, one per area of two-byte codes (unmapped cells 0xFFFD):
 *   gbk_gb2312_area  lead 0xA1..0xF7, trail 0xA1..0xFE       (94 per row)
 *   gbk_ext1         lead 0x81..0xA0, trail 0x40..0x7E, 0x80..0xFE (190)
 *   gbk_ext2         lead 0xA8..0xFE, trail 0x40..0x7E, 0x80..0xA0 (96)
 * Encoding: gbk_enc_page_index[wc >> 8] names a page of gbk_enc_pages
 * (0xFFFF: none), whose cell wc & 0xFF holds lead << 8 | trail (0: none).
 */
#include <errno.h>
#include <iconv.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define UNMAPPED 0xFFFDu

#define GB_ROWS (0xF7 - 0xA1 + 1)
#define GB_COLS 94
#define EXT1_ROWS (0xA0 - 0x81 + 1)
#define EXT1_COLS 190
#define EXT2_ROWS (0xFE - 0xA8 + 1)
#define EXT2_COLS 96

static uint16_t gb2312_area[GB_ROWS * GB_COLS];
static uint16_t ext1[EXT1_ROWS * EXT1_COLS];
static uint16_t ext2[EXT2_ROWS * EXT2_COLS];
static uint16_t reverse[0x10000];

/* Trail byte to column for the 190/96-wide rows (0x7F is no trail byte). */
static int wide_col(unsigned trail)
{
    return trail < 0x80 ? (int)(trail - 0x40) : (int)(trail - 0x41);
}

/* Decodes one two-byte code: 0 unmapped, 1 mapped (*wc set), -1 failure. */
static int decode(iconv_t cd, unsigned lead, unsigned trail, uint32_t* wc)
{
    unsigned char in[2];
    unsigned char out[8];
    char* ip = (char*)in;
    char* op = (char*)out;
    size_t il = 2;
    size_t ol = sizeof(out);

    in[0] = (unsigned char)lead;
    in[1] = (unsigned char)trail;
    iconv(cd, NULL, NULL, NULL, NULL);
    if (iconv(cd, &ip, &il, &op, &ol) == (size_t)-1) {
        if (errno == EILSEQ || errno == EINVAL)
            return 0;
        return -1;
    }
    if (il != 0 || sizeof(out) - ol != 4) {
        fprintf(stderr, "gbk_table_gen: code %02X%02X does not give one character\n", lead, trail);
        return -1;
    }
    *wc = (uint32_t)out[0] << 24 | (uint32_t)out[1] << 16 | (uint32_t)out[2] << 8 | out[3];
    if (*wc > 0xFFFF || *wc == UNMAPPED) {
        fprintf(stderr, "gbk_table_gen: code %02X%02X maps to U+%04X, which the tables cannot hold\n",
                lead, trail, (unsigned)*wc);
        return -1;
    }
    return 1;
}

/* Finds the area cell of a two-byte code, or NULL outside the three areas. */
static uint16_t* cell(unsigned lead, unsigned trail)
{
    if (lead >= 0xA1 && lead <= 0xF7 && trail >= 0xA1 && trail <= 0xFE)
        return &gb2312_area[(lead - 0xA1) * GB_COLS + (trail - 0xA1)];
    if (lead >= 0x81 && lead <= 0xA0)
        return &ext1[(lead - 0x81) * EXT1_COLS + wide_col(trail)];
    if (lead >= 0xA8 && trail <= 0xA0)
        return &ext2[(lead - 0xA8) * EXT2_COLS + wide_col(trail)];
    return NULL;
}

static void add_reverse(const uint16_t* table, int rows, int cols, unsigned first_lead, int gb2312)
{
    for (int r = 0; r < rows; r++) {
        for (int c = 0; c < cols; c++) {
            unsigned wc = table[r * cols + c];
            unsigned trail;
            if (wc == UNMAPPED || reverse[wc] != 0)
                continue;
            /* These two are read back from A1A4 and A1AA as U+00B7 and U+2014,
             * so the GB2312 area must never produce them. */
            if (gb2312 && (wc == 0x30FB || wc == 0x2015))
                continue;
            if (gb2312)
                trail = 0xA1 + (unsigned)c;
            else
                trail = c < 63 ? 0x40 + (unsigned)c : 0x41 + (unsigned)c;
            reverse[wc] = (uint16_t)((first_lead + (unsigned)r) << 8 | trail);
        }
    }
}

static void emit(FILE* f, const char* name, const uint16_t* data, int count)
{
    fprintf(f, "static const uint16_t %s[%d] = {", name, count);
    for (int i = 0; i < count; i++)
        fprintf(f, "%s0x%04X,", i % 12 == 0 ? "\n    " : " ", data[i]);
    fprintf(f, "\n};\n\n");
}

int main(int argc, char** argv)
{
    iconv_t cd;
    FILE* f;
    int mapped = 0;
    uint16_t page_index[256];
    int pages = 0;

    if (argc != 2) {
        fprintf(stderr, "usage: gbk_table_gen OUTPUT\n");
        return 2;
    }
    cd = iconv_open("UTF-32BE", "GBK");
    if (cd == (iconv_t)-1) {
        fprintf(stderr, "gbk_table_gen: iconv_open(\"UTF-32BE\", \"GBK\") failed: %s; "
                        "the build machine's iconv has no GBK converter\n", strerror(errno));
        return 1;
    }

    for (int i = 0; i < GB_ROWS * GB_COLS; i++) gb2312_area[i] = UNMAPPED;
    for (int i = 0; i < EXT1_ROWS * EXT1_COLS; i++) ext1[i] = UNMAPPED;
    for (int i = 0; i < EXT2_ROWS * EXT2_COLS; i++) ext2[i] = UNMAPPED;

    for (unsigned lead = 0x81; lead <= 0xFE; lead++) {
        for (unsigned trail = 0x40; trail <= 0xFE; trail++) {
            uint32_t wc = 0;
            uint16_t* p;
            int rc;
            if (trail == 0x7F)
                continue;
            rc = decode(cd, lead, trail, &wc);
            if (rc < 0)
                return 1;
            if (rc == 0)
                continue;
            p = cell(lead, trail);
            if (p == NULL) {
                fprintf(stderr, "gbk_table_gen: code %02X%02X (U+%04X) lies outside the GBK areas\n",
                        lead, trail, (unsigned)wc);
                return 1;
            }
            *p = (uint16_t)wc;
            mapped++;
        }
    }
    iconv_close(cd);

    /* A converter that knows GBK maps over 21000 codes; fewer means it is not
     * the GBK we expect and the tables would be wrong. */
    if (mapped < 21000) {
        fprintf(stderr, "gbk_table_gen: the GBK converter maps only %d two-byte codes\n", mapped);
        return 1;
    }

    /* Same order as the encoder: the GB2312 area first, then the extensions. */
    add_reverse(gb2312_area, GB_ROWS, GB_COLS, 0xA1, 1);
    add_reverse(ext1, EXT1_ROWS, EXT1_COLS, 0x81, 0);
    add_reverse(ext2, EXT2_ROWS, EXT2_COLS, 0xA8, 0);

    for (int p = 0; p < 256; p++) {
        int used = 0;
        for (int c = 0; c < 256 && !used; c++)
            used = reverse[p << 8 | c] != 0;
        page_index[p] = used ? (uint16_t)pages++ : 0xFFFF;
    }

    f = fopen(argv[1], "w");
    if (f == NULL) {
        fprintf(stderr, "gbk_table_gen: cannot write %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    fprintf(f, "/* Generated by tools/gbk_table_gen.c from the build machine's iconv GBK\n"
               " * converter (%d two-byte codes). Do not edit. */\n\n", mapped);
    emit(f, "gbk_gb2312_area", gb2312_area, GB_ROWS * GB_COLS);
    emit(f, "gbk_ext1", ext1, EXT1_ROWS * EXT1_COLS);
    emit(f, "gbk_ext2", ext2, EXT2_ROWS * EXT2_COLS);
    emit(f, "gbk_enc_page_index", page_index, 256);
    fprintf(f, "static const uint16_t gbk_enc_pages[%d][256] = {\n", pages);
    for (int p = 0; p < 256; p++) {
        if (page_index[p] == 0xFFFF)
            continue;
        fprintf(f, "    { /* U+%02X00 */", p);
        for (int c = 0; c < 256; c++)
            fprintf(f, "%s0x%04X,", c % 12 == 0 ? "\n        " : " ", reverse[p << 8 | c]);
        fprintf(f, "\n    },\n");
    }
    fprintf(f, "};\n");
    if (fclose(f) != 0) {
        fprintf(stderr, "gbk_table_gen: cannot write %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    return 0;
}
