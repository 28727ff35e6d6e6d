// SPDX-License-Identifier: MIT
/* The rules sci serve answers by, read from a file through a fixed buffer. */
#include "table.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#define TABLE_FILE_MAX 65536
#define WORDS_MAX 320

static char g_text[TABLE_FILE_MAX + 1];

/* What is wrong with a line, said into the caller's buffer: always false. */
static bool wrong(char *why, size_t room, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, its arguments checked by its format attribute
static bool wrong(char *why, size_t room, const char *format, ...)
{
    va_list args;

    va_start(args, format);
    (void)vsnprintf(why, room, format, args);
    va_end(args);
    return false;
}

/* A field of a rule's key: a number up to max, or *. */
static bool key_field(const char *word, long min, long max, long *value)
{
    if (strcmp(word, "*") == 0) {
        *value = ANY;
        return true;
    }
    *value = parse_number(word, max);
    return *value >= min;
}

/* Reads the fault words from words[*at] on; the rule then ends. */
static bool rule_faults(const char *const *words, int count, int *at, struct rule *r, char *why,
                        size_t room)
{
    int took;

    while (*at < count) {
        if (strcmp(words[*at], "noise") == 0)
            return wrong(why, room, "noise goes before reply or echo");
        took = fault_word(words + *at, count - *at, &r->fault, why, room);
        if (took < 0)
            return false;
        if (took == 0)
            return wrong(why, room, "'%s' where bad-checksum, cut or the end belongs", words[*at]);
        *at += took;
    }
    if (r->fault.bad_checksum && r->fault.cut != 0)
        return wrong(why, room, "bad-checksum or cut, not both");
    return true;
}

/* Reads "reply [-a ADDR] [-c CMD] [HEX...]" from words[*at] on, after the
 * word reply. */
static bool rule_reply(const char *const *words, int count, int *at, struct rule *r, char *why,
                       size_t room)
{
    struct hex_reader h = {r->payload, sizeof r->payload, 0, -1, ""};
    long max;
    size_t smallest;

    while (*at + 1 < count && (strcmp(words[*at], "-a") == 0 || strcmp(words[*at], "-c") == 0)) {
        max = words[*at][1] == 'a' ? 0xFF : 0xFFFF;
        long *field = words[*at][1] == 'a' ? &r->reply_addr : &r->reply_cmd;
        *field = parse_number(words[*at + 1], max);
        if (*field < 0)
            return wrong(why, room,
                         words[*at][1] == 'a' ? "reply -a takes 0 to 255, not '%s'"
                                              : "reply -c takes 0 to 0xFFFF, not '%s'",
                         words[*at + 1]);
        *at += 2;
    }
    for (; *at < count && strcmp(words[*at], "bad-checksum") != 0 && strcmp(words[*at], "cut") != 0;
         ++*at) {
        if (hex_feed_word(&h, words[*at]) != 0) {
            (void)snprintf(why, room, "reply payload: %s", h.why);
            return false;
        }
    }
    r->len = (uint16_t)h.count;
    max = r->version == 2 ? SCI_V2_MAX_PAYLOAD : SCI_V1_MAX_PAYLOAD;
    if (r->len > max) {
        (void)snprintf(why, room, "a reply of %u bytes is too long for version %s", r->len,
                       r->version == 2 ? "2" : "1");
        return false;
    }
    if (!rule_faults(words, count, at, r, why, room))
        return false;
    /* The frame's smallest size: version 1 carries a zero byte more. */
    smallest = (size_t)r->len + (r->version == 1 ? 9 : 8);
    if ((size_t)r->fault.cut >= smallest) {
        (void)snprintf(why, room, "cut %ld: the reply has only %zu bytes", r->fault.cut, smallest);
        return false;
    }
    return true;
}

/* Reads one rule from its words. */
static bool rule_read(const char *const *words, int count, struct rule *r, char *why, size_t room)
{
    int at = 3;
    int took;

    memset(r, 0, sizeof *r);
    r->reply_addr = ANY;
    r->reply_cmd = ANY;
    if (count < 4)
        return wrong(why, room, "a rule needs VERSION ADDR CMD and an action");
    if (!key_field(words[0], 1, 2, &r->version))
        return wrong(why, room, "VERSION is 1, 2 or *, not '%s'", words[0]);
    if (!key_field(words[1], 0, 0xFF, &r->addr))
        return wrong(why, room, "ADDR is 0 to 255 or *, not '%s'", words[1]);
    if (!key_field(words[2], 0, 0xFFFF, &r->cmd))
        return wrong(why, room, "CMD is 0 to 0xFFFF or *, not '%s'", words[2]);
    while (at < count && (strcmp(words[at], "delay") == 0 || strcmp(words[at], "noise") == 0)) {
        if (strcmp(words[at], "delay") == 0) {
            r->delay_ms = at + 1 < count ? parse_number(words[at + 1], 3600000) : -1;
            if (r->delay_ms < 0)
                return wrong(why, room, "delay takes 0 to 3600000 ms, not '%s'",
                             at + 1 < count ? words[at + 1] : "");
            at += 2;
        } else if ((took = fault_word(words + at, count - at, &r->fault, why, room)) < 0) {
            return false;
        } else {
            at += took;
        }
    }
    if (at == count)
        return wrong(why, room, "no action after delay or noise");
    if (strcmp(words[at], "reply") == 0) {
        r->action = ACTION_REPLY;
        ++at;
        return rule_reply(words, count, &at, r, why, room);
    }
    if (strcmp(words[at], "echo") == 0) {
        r->action = ACTION_ECHO;
        ++at;
        return rule_faults(words, count, &at, r, why, room);
    }
    if (at > 3)
        return wrong(why, room, "delay and noise go only before reply or echo, not '%s'",
                     words[at]);
    if (strcmp(words[at], "ignore") == 0 && count > 4)
        return wrong(why, room, "'%s' after ignore", words[4]);
    if (strcmp(words[at], "ignore") == 0) {
        r->action = ACTION_IGNORE;
        return true;
    }
    if (strcmp(words[at], "exit") != 0)
        return wrong(why, room, "unknown action '%s'", words[at]);
    r->action = ACTION_EXIT;
    if (count > 5)
        return wrong(why, room, "'%s' after exit STATUS", words[5]);
    r->status = count == 5 ? parse_number(words[4], 255) : -1;
    if (r->status < 0)
        return wrong(why, room, "exit takes a status from 0 to 255, not '%s'",
                     count == 5 ? words[4] : "");
    return true;
}

/* Reads the whole file into g_text. Returns its length, or -1 with `why`. */
static ssize_t read_file(const char *name, char *why, size_t room)
{
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    size_t fill = 0;
    ssize_t got = 1;

    if (fd < 0) {
        (void)snprintf(why, room, "%s: %s", name, strerror(errno));
        return -1;
    }
    while (got > 0 && fill <= TABLE_FILE_MAX) {
        got = read(fd, g_text + fill, TABLE_FILE_MAX + 1 - fill);
        if (got < 0 && errno == EINTR)
            got = 1;
        else if (got > 0)
            fill += (size_t)got;
    }
    if (got < 0)
        (void)snprintf(why, room, "%s: %s", name, strerror(errno));
    else if (fill > TABLE_FILE_MAX)
        (void)snprintf(why, room, "%s: larger than %d bytes", name, TABLE_FILE_MAX);
    close(fd);
    return got < 0 || fill > TABLE_FILE_MAX ? -1 : (ssize_t)fill;
}

/* Splits a line into its blank-separated words, up to WORDS_MAX; -1 when
 * there are more. */
static int split_words(char *line, const char **words)
{
    int count = 0;

    for (;;) {
        while (*line == ' ' || *line == '\t' || *line == '\r')
            *line++ = '\0';
        if (*line == '\0')
            return count;
        if (count == WORDS_MAX)
            return -1;
        words[count++] = line;
        while (*line != '\0' && *line != ' ' && *line != '\t' && *line != '\r')
            line++;
    }
}

bool table_load(const char *name, struct table *t, char *why, size_t room)
{
    static const char *words[WORDS_MAX];
    ssize_t size = read_file(name, why, room);
    char *line = g_text;
    char *end;
    char *hash;
    unsigned number = 0;
    int count;
    size_t used;

    if (size < 0)
        return false;
    g_text[size] = '\0';
    t->count = 0;
    for (; line <= g_text + size; line = end + 1) {
        number++;
        end = (char *)memchr(line, '\n', (size_t)(g_text + size - line));
        end = end != NULL ? end : g_text + size;
        *end = '\0';
        used = (size_t)snprintf(why, room, "%s:%u: ", name, number);
        if (used >= room)
            used = 0;
        if (strlen(line) != (size_t)(end - line))
            return wrong(why + used, room - used, "a zero byte");
        if ((hash = strchr(line, '#')) != NULL)
            *hash = '\0';
        count = split_words(line, words);
        if (count < 0)
            return wrong(why + used, room - used, "more than %d words", WORDS_MAX);
        if (count == 0)
            continue;
        if (t->count == TABLE_RULES)
            return wrong(why + used, room - used, "more than %d rules", TABLE_RULES);
        if (!rule_read(words, count, &t->rules[t->count], why + used, room - used))
            return false;
        t->count++;
    }
    why[0] = '\0';
    return true;
}

const struct rule *table_match(const struct table *t, const sci_stream_frame_t *f)
{
    for (size_t i = 0; i < t->count; i++) {
        const struct rule *r = &t->rules[i];
        if ((r->version == ANY || r->version == f->version) &&
            (r->addr == ANY || r->addr == f->addr) && (r->cmd == ANY || r->cmd == f->cmd))
            return r;
    }
    return NULL;
}
