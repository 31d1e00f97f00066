/* SPDX-License-Identifier: GPL-2.0-or-later */
/* tmmqtt's settings: defaults, the configuration file, the command line
 * (which wins), and the checks made before anything is opened. Every call
 * returns 1, or 0 with a message (without the program's name) in err. */
#ifndef TMMQTT_OPTIONS_H
#define TMMQTT_OPTIONS_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef TMMQTT_CONFIG
#define TM_DEFAULT_CONFIG TMMQTT_CONFIG
#else
#define TM_DEFAULT_CONFIG "/etc/vorn/tmmqtt.conf"
#endif
#define TM_DEFAULT_HOST "localhost"
#define TM_DEFAULT_PORT 1883
#define TM_DEFAULT_TLS_PORT 8883
#define TM_DEFAULT_PREFIX "vorn"
#define TM_DEFAULT_DISCOVERY "homeassistant"
#define TM_PORT_MAX 65535

#define TM_HOST_SIZE 256
#define TM_NAME_SIZE 128
#define TM_PATH_SIZE 4096
#define TM_ERR_SIZE 512
/* A configuration file longer than this is refused. */
#define TM_CONFIG_MAX 65536
/* Settings given on one command line at most. */
#define TM_ARGS_MAX 32

struct tm_options {
    char host[TM_HOST_SIZE];
    int port; /* 0: not given, the default follows from cafile */
    char username[TM_NAME_SIZE];
    char password_file[TM_PATH_SIZE];
    char cafile[TM_PATH_SIZE];
    char node[TM_NAME_SIZE];
    char prefix[TM_NAME_SIZE];
    char discovery[TM_NAME_SIZE];
    char device[TM_PATH_SIZE];
};

/* What the command line asks for. */
enum tm_action { TM_RUN, TM_HELP, TM_VERSION, TM_USAGE_ERROR };

struct tm_setting_arg {
    const char *name;
    const char *value;
};

struct tm_args {
    enum tm_action action;
    /* The configuration file, and whether it was named (then it must be
     * there). */
    const char *config;
    int config_given;
    /* The settings given, in order, by their configuration-file names. */
    struct tm_setting_arg set[TM_ARGS_MAX];
    size_t count;
};

/* The defaults; the node is the host name (0 when it cannot be had). */
int tm_options_defaults(struct tm_options *o, char *err, size_t errlen);
/* One setting by its name in the configuration file. */
int tm_options_set(struct tm_options *o, const char *name, const char *value, char *err,
                   size_t errlen);
/* The settings of a configuration file's text; file names it in messages
 * ("FILE:LINE: ..."). Settings before a faulty line stay set. */
int tm_config_parse(struct tm_options *o, const char *text, const char *file, char *err,
                    size_t errlen);
/* Reads and parses a configuration file. A file that is not there is no
 * fault unless required. */
int tm_config_load(struct tm_options *o, const char *path, int required, char *err, size_t errlen);
/* The command line; a usage fault gives TM_USAGE_ERROR and err. */
void tm_args_parse(int argc, char **argv, struct tm_args *a, char *err, size_t errlen);
/* Checks the settings together and fills in the port's default. */
int tm_options_check(struct tm_options *o, char *err, size_t errlen);

#ifdef __cplusplus
}
#endif

#endif
