// SPDX-License-Identifier: GPL-2.0-or-later
/* Settings from defaults, the configuration file and the command line. */
#define _GNU_SOURCE
#include "options.h"

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vorn.h"

#define DECIMAL 10

enum setting_kind { SETTING_TEXT, SETTING_PORT };

struct setting {
    const char *name;
    enum setting_kind kind;
    size_t offset;
    size_t size;
    /* 1 when an empty value means something (no discovery). */
    int empty_ok;
};

#define TEXT_SETTING(n, field, empty)                                                              \
    {                                                                                              \
        n, SETTING_TEXT, offsetof(struct tm_options, field),                                       \
            sizeof(((struct tm_options *)0)->field), empty                                         \
    }

static const struct setting kSettings[] = {
    TEXT_SETTING("host", host, 0),
    {"port", SETTING_PORT, offsetof(struct tm_options, port), sizeof(int), 0},
    TEXT_SETTING("username", username, 0),
    TEXT_SETTING("password-file", password_file, 0),
    TEXT_SETTING("cafile", cafile, 0),
    TEXT_SETTING("node", node, 0),
    TEXT_SETTING("prefix", prefix, 0),
    TEXT_SETTING("discovery-prefix", discovery, 1),
    TEXT_SETTING("device", device, 0),
};
#define SETTING_COUNT (sizeof(kSettings) / sizeof(kSettings[0]))

__attribute__((format(printf, 3, 4))) static int fail(char *err, size_t errlen, const char *fmt,
                                                      ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, errlen, fmt, ap);
    va_end(ap);
    return 0;
}

static int copy_text(char *dst, size_t size, const char *src) {
    size_t n = strlen(src);
    if (n >= size)
        return 0;
    memcpy(dst, src, n + 1);
    return 1;
}

int tm_options_defaults(struct tm_options *o, char *err, size_t errlen) {
    memset(o, 0, sizeof(*o));
    copy_text(o->host, sizeof(o->host), TM_DEFAULT_HOST);
    copy_text(o->prefix, sizeof(o->prefix), TM_DEFAULT_PREFIX);
    copy_text(o->discovery, sizeof(o->discovery), TM_DEFAULT_DISCOVERY);
    copy_text(o->device, sizeof(o->device), VORN_DEFAULT_PATH);
    if (gethostname(o->node, sizeof(o->node) - 1) != 0) {
        int e = errno;
        return fail(err, errlen, "cannot get the host name [%s]", strerror(e));
    }
    o->node[sizeof(o->node) - 1] = '\0';
    return 1;
}

static int parse_port(const char *value, int *port) {
    char *end = NULL;
    errno = 0;
    long v = strtol(value, &end, DECIMAL);
    if (errno != 0 || end == value || *end != '\0' || v < 1 || v > TM_PORT_MAX)
        return 0;
    *port = (int)v;
    return 1;
}

int tm_options_set(struct tm_options *o, const char *name, const char *value, char *err,
                   size_t errlen) {
    for (size_t i = 0; i < SETTING_COUNT; i++) {
        const struct setting *s = &kSettings[i];
        if (strcmp(s->name, name) != 0)
            continue;
        if (value[0] == '\0' && !s->empty_ok)
            return fail(err, errlen, "'%s' needs a value", name);
        char *field = (char *)o + s->offset;
        if (s->kind == SETTING_PORT) {
            if (!parse_port(value, (int *)(void *)field))
                return fail(err, errlen, "'%s' is not a port number (1-%d) for '%s'", value,
                            TM_PORT_MAX, name);
            return 1;
        }
        if (!copy_text(field, s->size, value))
            return fail(err, errlen, "the value of '%s' is too long (at most %zu characters)", name,
                        s->size - 1);
        return 1;
    }
    return fail(err, errlen, "unknown setting '%s'", name);
}

static int is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

static int is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || c == '-';
}

int tm_config_parse(struct tm_options *o, const char *text, const char *file, char *err,
                    size_t errlen) {
    const char *p = text;
    for (unsigned lineno = 1; *p; lineno++) {
        const char *eol = strchr(p, '\n');
        size_t n = eol ? (size_t)(eol - p) : strlen(p);
        char line[TM_PATH_SIZE + TM_NAME_SIZE];
        if (n >= sizeof(line))
            return fail(err, errlen, "%s:%u: line too long", file, lineno);
        memcpy(line, p, n);
        line[n] = '\0';
        p = eol ? eol + 1 : p + n;

        if (memchr(line, '\0', n) != NULL)
            return fail(err, errlen, "%s:%u: a NUL byte", file, lineno);
        char *s = line;
        while (is_space(*s))
            s++;
        char *end = s + strlen(s);
        while (end > s && is_space(end[-1]))
            *--end = '\0';
        if (*s == '\0' || *s == '#')
            continue;
        char *name = s;
        while (is_name_char(*s))
            s++;
        if (s == name)
            return fail(err, errlen, "%s:%u: expected 'name = value'", file, lineno);
        char *name_end = s;
        while (is_space(*s))
            s++;
        if (*s == '=') {
            s++;
            while (is_space(*s))
                s++;
        } else if (s == name_end && *s != '\0') {
            return fail(err, errlen, "%s:%u: expected 'name = value'", file, lineno);
        }
        *name_end = '\0';
        char why[TM_ERR_SIZE];
        if (!tm_options_set(o, name, s, why, sizeof(why)))
            return fail(err, errlen, "%s:%u: %s", file, lineno, why);
    }
    return 1;
}

int tm_config_load(struct tm_options *o, const char *path, int required, char *err, size_t errlen) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT && !required)
            return 1;
        return fail(err, errlen, "cannot read the configuration file %s [%s]", path, strerror(e));
    }
    char *text = malloc(TM_CONFIG_MAX + 1);
    int ok = 0;
    if (text == NULL) {
        fail(err, errlen, "%s: out of memory", path);
        goto out;
    }
    size_t used = 0;
    for (;;) {
        ssize_t r = read(fd, text + used, TM_CONFIG_MAX + 1 - used);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            int e = errno;
            fail(err, errlen, "cannot read the configuration file %s [%s]", path, strerror(e));
            goto out;
        }
        if (r == 0)
            break;
        used += (size_t)r;
        if (used > TM_CONFIG_MAX) {
            fail(err, errlen, "%s: longer than %d bytes", path, TM_CONFIG_MAX);
            goto out;
        }
    }
    text[used] = '\0';
    if (strlen(text) != used) {
        fail(err, errlen, "%s: a NUL byte", path);
        goto out;
    }
    ok = tm_config_parse(o, text, path, err, errlen);
out:
    free(text);
    close(fd);
    return ok;
}

void tm_args_parse(int argc, char **argv, struct tm_args *a, char *err, size_t errlen) {
    enum { OPT_CONFIG = 'c', OPT_HELP = 'h', OPT_VERSION = 'V', OPT_FIRST_SETTING = 0x100 };
    static const struct option kOptions[] = {
        {"host", required_argument, NULL, OPT_FIRST_SETTING + 0},
        {"port", required_argument, NULL, OPT_FIRST_SETTING + 1},
        {"username", required_argument, NULL, OPT_FIRST_SETTING + 2},
        {"password-file", required_argument, NULL, OPT_FIRST_SETTING + 3},
        {"cafile", required_argument, NULL, OPT_FIRST_SETTING + 4},
        {"node", required_argument, NULL, OPT_FIRST_SETTING + 5},
        {"prefix", required_argument, NULL, OPT_FIRST_SETTING + 6},
        {"discovery-prefix", required_argument, NULL, OPT_FIRST_SETTING + 7},
        {"config", required_argument, NULL, OPT_CONFIG},
        {"help", no_argument, NULL, OPT_HELP},
        {"version", no_argument, NULL, OPT_VERSION},
        {NULL, 0, NULL, 0}};
    memset(a, 0, sizeof(*a));
    a->action = TM_RUN;
    a->config = TM_DEFAULT_CONFIG;
    /* Long options by their whole names only: getopt_long would take
     * "--password SECRET" as --password-file, and name the secret in its
     * complaint about the file. */
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++) {
        if (strncmp(argv[i], "--", 2) != 0)
            continue;
        const char *name = argv[i] + 2;
        size_t n = strcspn(name, "=");
        int known = 0;
        for (const struct option *op = kOptions; op->name && !known; op++)
            known = strlen(op->name) == n && strncmp(op->name, name, n) == 0;
        if (!known) {
            a->action = TM_USAGE_ERROR;
            fail(err, errlen, "unknown option '--%.*s'", (int)n, name);
            return;
        }
        /* The value of an option that takes one is not an option. */
        const struct option *op = kOptions;
        while (op->name && !(strlen(op->name) == n && strncmp(op->name, name, n) == 0))
            op++;
        if (op->has_arg == required_argument && name[n] == '\0')
            i++;
    }
    optind = 0;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "+:c:hV", kOptions, NULL)) != -1) {
        if (c == OPT_HELP || c == OPT_VERSION) {
            a->action = c == OPT_HELP ? TM_HELP : TM_VERSION;
            return;
        }
        if (c == OPT_CONFIG) {
            a->config = optarg;
            a->config_given = 1;
        } else if (c >= OPT_FIRST_SETTING && c < OPT_FIRST_SETTING + (int)SETTING_COUNT) {
            if (a->count == TM_ARGS_MAX) {
                a->action = TM_USAGE_ERROR;
                fail(err, errlen, "more than %d settings", TM_ARGS_MAX);
                return;
            }
            a->set[a->count].name = kOptions[c - OPT_FIRST_SETTING].name;
            a->set[a->count].value = optarg;
            a->count++;
        } else {
            a->action = TM_USAGE_ERROR;
            if (c == ':')
                fail(err, errlen, "option '%s' needs a value", argv[optind - 1]);
            else
                fail(err, errlen, "unknown option '%s'", argv[optind - 1]);
            return;
        }
    }
    if (argc - optind > 1) {
        a->action = TM_USAGE_ERROR;
        fail(err, errlen, "one device at most");
        return;
    }
    if (optind < argc) {
        if (a->count == TM_ARGS_MAX) {
            a->action = TM_USAGE_ERROR;
            fail(err, errlen, "more than %d settings", TM_ARGS_MAX);
            return;
        }
        a->set[a->count].name = "device";
        a->set[a->count].value = argv[optind];
        a->count++;
    }
}

/* A topic level may not hold the MQTT wildcards; a level of our own may not
 * hold a separator either. */
static int topic_text_ok(const char *s, int slash_ok) {
    for (; *s; s++) {
        if (*s == '+' || *s == '#' || (*s == '/' && !slash_ok))
            return 0;
    }
    return 1;
}

static int prefix_ok(const char *s) {
    size_t n = strlen(s);
    return topic_text_ok(s, 1) && s[0] != '/' && (n == 0 || s[n - 1] != '/');
}

int tm_options_check(struct tm_options *o, char *err, size_t errlen) {
    if (o->node[0] == '\0' || !topic_text_ok(o->node, 0))
        return fail(err, errlen, "the node name '%s' is empty or has '/', '+' or '#'", o->node);
    if (o->prefix[0] == '\0' || !prefix_ok(o->prefix))
        return fail(err, errlen,
                    "the prefix '%s' is empty, has '+' or '#', or begins or ends with '/'",
                    o->prefix);
    if (!prefix_ok(o->discovery))
        return fail(err, errlen,
                    "the discovery prefix '%s' has '+' or '#', or begins or ends with '/'",
                    o->discovery);
    if (o->password_file[0] != '\0' && o->username[0] == '\0')
        return fail(err, errlen, "a password file needs a user name (--username)");
    const char *slash = strrchr(o->device, '/');
    const char *line = slash ? slash + 1 : o->device;
    if (line[0] == '\0' || !topic_text_ok(line, 0))
        return fail(err, errlen, "the device '%s' has no usable name", o->device);
    if (o->port == 0)
        o->port = o->cafile[0] ? TM_DEFAULT_TLS_PORT : TM_DEFAULT_PORT;
    return 1;
}
