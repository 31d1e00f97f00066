// SPDX-License-Identifier: GPL-2.0-or-later
// tmmqtt's settings: the configuration file's form and its faults named by
// file and line, the command line, the checks, the password file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "options.h"
#include "password.h"

namespace {

tm_options Defaults() {
    tm_options o;
    char err[TM_ERR_SIZE];
    EXPECT_EQ(tm_options_defaults(&o, err, sizeof(err)), 1) << err;
    return o;
}

// A scratch file removed with the object.
class TempFile {
  public:
    TempFile(const std::string &text, mode_t mode) {
        char tmpl[] = "/tmp/tmmqtt-test-XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        chmod(tmpl, mode);
    }
    ~TempFile() { unlink(path.c_str()); }
    std::string path;
};

struct Parsed {
    int ok;
    std::string err;
    tm_args args;
};

Parsed Args(std::vector<const char *> argv) {
    argv.insert(argv.begin(), "tmmqtt");
    argv.push_back(nullptr);
    Parsed p;
    char err[TM_ERR_SIZE] = "";
    tm_args_parse(static_cast<int>(argv.size() - 1), const_cast<char **>(argv.data()), &p.args, err,
                  sizeof(err));
    p.ok = p.args.action != TM_USAGE_ERROR;
    p.err = err;
    return p;
}

} // namespace

TEST(MqttOptions, ConfigFileTakesCommentsBlankLinesSpacesAndBothForms) {
    tm_options o = Defaults();
    char err[TM_ERR_SIZE] = "";
    const char *text = "# broker\n"
                       "\n"
                       "  host = broker.example  \n"
                       "port 8884\r\n"
                       "username=door\n"
                       "password-file = /etc/vorn/tmmqtt.password\n"
                       "\tnode = gate 1\n"
                       "discovery-prefix =\n"
                       "device /dev/touchm3";
    ASSERT_EQ(tm_config_parse(&o, text, "t.conf", err, sizeof(err)), 1) << err;
    EXPECT_STREQ(o.host, "broker.example");
    EXPECT_EQ(o.port, 8884);
    EXPECT_STREQ(o.username, "door");
    EXPECT_STREQ(o.password_file, "/etc/vorn/tmmqtt.password");
    EXPECT_STREQ(o.node, "gate 1");
    EXPECT_STREQ(o.discovery, "");
    EXPECT_STREQ(o.device, "/dev/touchm3");
    EXPECT_STREQ(o.prefix, TM_DEFAULT_PREFIX);
}

TEST(MqttOptions, ConfigFileFaultsNameTheFileAndTheLine) {
    const std::string long_line = "host = " + std::string(TM_PATH_SIZE + TM_NAME_SIZE, 'h');
    struct Case {
        std::string text;
        std::string err;
    } cases[] = {
        {"colour = blue\n", "t.conf:1: unknown setting 'colour'"},
        {"host = a\n\n# c\nport = http\n",
         "t.conf:4: 'http' is not a port number (1-65535) for 'port'"},
        {"port = 0\n", "t.conf:1: '0' is not a port number (1-65535) for 'port'"},
        {"port = 65536\n", "t.conf:1: '65536' is not a port number (1-65535) for 'port'"},
        {"host =\n", "t.conf:1: 'host' needs a value"},
        {"node\n", "t.conf:1: 'node' needs a value"},
        {"= x\n", "t.conf:1: expected 'name = value'"},
        {"Host = x\n", "t.conf:1: expected 'name = value'"},
        {"host: x\n", "t.conf:1: expected 'name = value'"},
        {long_line + "\n", "t.conf:1: line too long"},
        {"username = " + std::string(TM_NAME_SIZE, 'u') + "\n",
         "t.conf:1: the value of 'username' is too long (at most 127 characters)"},
    };
    for (const Case &c : cases) {
        tm_options o = Defaults();
        char err[TM_ERR_SIZE] = "";
        EXPECT_EQ(tm_config_parse(&o, c.text.c_str(), "t.conf", err, sizeof(err)), 0) << c.text;
        EXPECT_EQ(std::string(err), c.err);
    }
}

TEST(MqttOptions, ConfigFileOnDisk) {
    char err[TM_ERR_SIZE] = "";
    tm_options o = Defaults();
    // A default file that is not there is no fault; a named one is.
    EXPECT_EQ(tm_config_load(&o, "/nonexistent/tmmqtt.conf", 0, err, sizeof(err)), 1);
    EXPECT_EQ(tm_config_load(&o, "/nonexistent/tmmqtt.conf", 1, err, sizeof(err)), 0);
    EXPECT_EQ(std::string(err), "cannot read the configuration file /nonexistent/tmmqtt.conf "
                                "[No such file or directory]");
    TempFile f("prefix = site\nbogus = 1\n", 0600);
    EXPECT_EQ(tm_config_load(&o, f.path.c_str(), 1, err, sizeof(err)), 0);
    EXPECT_EQ(std::string(err), f.path + ":2: unknown setting 'bogus'");
    std::string nul("host = a\0b\n", 11);
    TempFile g(nul, 0600);
    EXPECT_EQ(tm_config_load(&o, g.path.c_str(), 1, err, sizeof(err)), 0);
    EXPECT_EQ(std::string(err), g.path + ": a NUL byte");
    TempFile big(std::string(TM_CONFIG_MAX + 1, '#'), 0600);
    EXPECT_EQ(tm_config_load(&o, big.path.c_str(), 1, err, sizeof(err)), 0);
    EXPECT_NE(std::string(err).find("longer than"), std::string::npos) << err;
}

TEST(MqttOptions, CommandLineSettingsInOrderAndItsFaults) {
    // A value that looks like an option is still a value.
    Parsed v = Args({"--node", "--gate"});
    ASSERT_TRUE(v.ok) << v.err;
    EXPECT_STREQ(v.args.set[0].value, "--gate");
    Parsed p = Args({"--host", "b", "--config", "/x.conf", "--port=99", "--discovery-prefix", "",
                     "/dev/touchm1"});
    ASSERT_TRUE(p.ok) << p.err;
    EXPECT_STREQ(p.args.config, "/x.conf");
    EXPECT_EQ(p.args.config_given, 1);
    ASSERT_EQ(p.args.count, 4u);
    EXPECT_STREQ(p.args.set[0].name, "host");
    EXPECT_STREQ(p.args.set[1].name, "port");
    EXPECT_STREQ(p.args.set[1].value, "99");
    EXPECT_STREQ(p.args.set[2].name, "discovery-prefix");
    EXPECT_STREQ(p.args.set[2].value, "");
    EXPECT_STREQ(p.args.set[3].name, "device");
    EXPECT_STREQ(p.args.set[3].value, "/dev/touchm1");
    EXPECT_EQ(Args({}).args.config_given, 0);
    EXPECT_STREQ(Args({}).args.config, TM_DEFAULT_CONFIG);
    EXPECT_EQ(Args({"--help"}).args.action, TM_HELP);
    EXPECT_EQ(Args({"-V"}).args.action, TM_VERSION);

    struct Case {
        std::vector<const char *> argv;
        const char *err;
    } cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--host"}, "option '--host' needs a value"},
        {{"--password", "x"}, "unknown option '--password'"},
        {{"--password=x"}, "unknown option '--password'"},
        {{"--hos", "b"}, "unknown option '--hos'"},
        {{"/dev/touchm0", "/dev/touchm1"}, "one device at most"},
    };
    for (const Case &c : cases) {
        Parsed q = Args(c.argv);
        EXPECT_FALSE(q.ok) << c.err;
        EXPECT_EQ(q.err, c.err);
    }
}

TEST(MqttOptions, ChecksAndThePortsDefault) {
    char err[TM_ERR_SIZE] = "";
    tm_options o = Defaults();
    ASSERT_EQ(tm_options_check(&o, err, sizeof(err)), 1) << err;
    EXPECT_EQ(o.port, TM_DEFAULT_PORT);
    o = Defaults();
    ASSERT_EQ(tm_options_set(&o, "cafile", "/etc/ssl/ca.pem", err, sizeof(err)), 1);
    ASSERT_EQ(tm_options_check(&o, err, sizeof(err)), 1) << err;
    EXPECT_EQ(o.port, TM_DEFAULT_TLS_PORT);
    o = Defaults();
    tm_options_set(&o, "cafile", "/ca.pem", err, sizeof(err));
    tm_options_set(&o, "port", "1883", err, sizeof(err));
    ASSERT_EQ(tm_options_check(&o, err, sizeof(err)), 1) << err;
    EXPECT_EQ(o.port, 1883);

    struct Case {
        const char *name;
        const char *value;
        const char *err;
    } cases[] = {
        {"node", "a/b", "the node name 'a/b' is empty or has '/', '+' or '#'"},
        {"node", "a+", "the node name 'a+' is empty or has '/', '+' or '#'"},
        {"prefix", "vorn/#",
         "the prefix 'vorn/#' is empty, has '+' or '#', or begins or ends with '/'"},
        {"prefix", "/vorn",
         "the prefix '/vorn' is empty, has '+' or '#', or begins or ends with '/'"},
        {"discovery-prefix", "ha/",
         "the discovery prefix 'ha/' has '+' or '#', or begins or ends with '/'"},
        {"password-file", "/p", "a password file needs a user name (--username)"},
        {"device", "/dev/", "the device '/dev/' has no usable name"},
    };
    for (const Case &c : cases) {
        tm_options bad = Defaults();
        ASSERT_EQ(tm_options_set(&bad, c.name, c.value, err, sizeof(err)), 1) << err;
        EXPECT_EQ(tm_options_check(&bad, err, sizeof(err)), 0) << c.value;
        EXPECT_STREQ(err, c.err);
    }
}

TEST(MqttOptions, PasswordFileHoldsThePasswordAlone) {
    char pw[TM_PASSWORD_SIZE];
    char err[TM_ERR_SIZE] = "";
    int world = -1;
    TempFile nl("s3cret\n", 0640);
    ASSERT_EQ(tm_password_read(nl.path.c_str(), pw, sizeof(pw), &world, err, sizeof(err)), 1)
        << err;
    EXPECT_STREQ(pw, "s3cret");
    EXPECT_EQ(world, 0);
    TempFile crlf("with space \r\n", 0644);
    ASSERT_EQ(tm_password_read(crlf.path.c_str(), pw, sizeof(pw), &world, err, sizeof(err)), 1);
    EXPECT_STREQ(pw, "with space ");
    EXPECT_EQ(world, 1);

    struct Case {
        std::string text;
        std::string err_tail;
    } cases[] = {
        {"", " is empty"},
        {"\n", " is empty"},
        {"one\ntwo\n", " holds more than one line"},
        {std::string(TM_PASSWORD_SIZE, 'p'), " holds more than 255 bytes"},
    };
    for (const Case &c : cases) {
        TempFile f(c.text, 0600);
        EXPECT_EQ(tm_password_read(f.path.c_str(), pw, sizeof(pw), &world, err, sizeof(err)), 0);
        EXPECT_EQ(std::string(err), "the password file " + f.path + c.err_tail);
    }
    EXPECT_EQ(tm_password_read("/nonexistent/pw", pw, sizeof(pw), &world, err, sizeof(err)), 0);
    EXPECT_STREQ(err, "cannot read the password file /nonexistent/pw [No such file or directory]");
    EXPECT_EQ(tm_password_read("/tmp", pw, sizeof(pw), &world, err, sizeof(err)), 0);
    EXPECT_STREQ(err, "the password file /tmp is not a regular file");
}
