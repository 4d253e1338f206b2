// Request decoding, reply encoding, argument lists and the command table.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "log_capture.h"
#include "protocol/commands.h"
#include "protocol/ipc_message.h"

namespace {

std::string dispatch(const std::string &request) {
    std::vector<char> buffer(request.begin(), request.end());
    buffer.push_back('\0');
    std::optional<std::string> reply;
    process_ipc(buffer.data(), [&reply](const std::string &text) {
        EXPECT_FALSE(reply) << "a second reply";
        reply = text;
    });
    EXPECT_TRUE(reply);
    return reply.value_or("");
}

std::vector<std::string> split(const std::string &text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    std::optional<std::vector<char *>> args = split_arg_list(buffer.data());
    std::vector<std::string> out;
    if (args) {
        for (char *arg : *args) {
            out.emplace_back(arg);
        }
    }
    return out;
}

using Args = std::vector<std::string>;

TEST(Decoder, FieldsAndData) {
    LogCapture log;
    char request[] = "c:set_qml_prop:l:obj,text,a:b";
    ipc_message message{};
    ASSERT_EQ(ipc_deserialize(request, &message), 0);
    EXPECT_EQ(message.ctype, 'c');
    EXPECT_STREQ(message.cmd, "set_qml_prop");
    EXPECT_EQ(message.clen, 12);
    EXPECT_EQ(message.dtype, 'l');
    EXPECT_STREQ(message.data, "obj,text,a:b");
    EXPECT_EQ(message.dlen, 12);

    char no_separator[] = "c:kbd_zoom:n";
    ASSERT_EQ(ipc_deserialize(no_separator, &message), 0);
    EXPECT_STREQ(message.cmd, "kbd_zoom");
    EXPECT_STREQ(message.data, "");
    EXPECT_EQ(message.dlen, 0);

    for (const char *dtype : {"s", "i", "l", "n"}) {
        std::string text = std::string("c:get_lum:") + dtype + ":5";
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        EXPECT_EQ(ipc_deserialize(buffer.data(), &message), 0) << dtype;
    }
}

TEST(Decoder, RejectsWhatIsNotARequest) {
    LogCapture log;
    for (const char *text : {"r:get_zoom:n:", "e:get_zoom:n:", "c:get_zoom:x:", "c:get_zoom", "",
                             ":::", "cc:get_zoom:n:", "c:get_zoom:nn:"}) {
        std::vector<char> buffer(text, text + strlen(text) + 1);
        ipc_message message{};
        EXPECT_EQ(ipc_deserialize(buffer.data(), &message), -1) << text;
    }
}

TEST(Encoder, FormatsRepliesWithAndWithoutData) {
    EXPECT_EQ(ipc_serialize({'r', "get_zoom", 8, 's', "1", 1}),
              std::optional<std::string>("r:get_zoom:s:1"));
    EXPECT_EQ(ipc_serialize({'r', "set_origin", 10, 'n', nullptr, 0}),
              std::optional<std::string>("r:set_origin:n:"));
    std::string large(5000, 'd');
    EXPECT_EQ(ipc_serialize({'r', "print_config", 12, 's', large.c_str(), 5000}),
              std::optional<std::string>("r:print_config:s:" + large));
}

TEST(ArgumentList, SeparatorsAndEscapes) {
    LogCapture log;
    EXPECT_EQ(split("1,2"), (Args{"1", "2"}));
    EXPECT_EQ(split("a\\,b,c"), (Args{"a,b", "c"}));
    EXPECT_EQ(split("a,"), (Args{"a", ""}));
    EXPECT_EQ(split("a,,b"), (Args{"a", ",b"}));
    EXPECT_EQ(split(""), (Args{""}));
    EXPECT_EQ(split(","), (Args{","}));
    EXPECT_EQ(split("x\\,,y"), (Args{"x,", "y"}));
    EXPECT_EQ(split("ReticleMenu,retProfParam,SRC:a.svg\\,X:1"),
              (Args{"ReticleMenu", "retProfParam", "SRC:a.svg,X:1"}));
}

TEST(ArgumentList, AtMostTenArguments) {
    LogCapture log;
    EXPECT_EQ(split("0,1,2,3,4,5,6,7,8,9"),
              (Args{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
    char eleven[] = "0,1,2,3,4,5,6,7,8,9,10";
    EXPECT_FALSE(split_arg_list(eleven));
    char escaped[] = "0,1,2,3,4,5,6,7,8,9\\,10";
    std::optional<std::vector<char *>> args = split_arg_list(escaped);
    ASSERT_TRUE(args);
    ASSERT_EQ(args->size(), 10u);
    EXPECT_STREQ((*args)[9], "9,10");
}

TEST(Dispatcher, WorkedExchanges) {
    LogCapture log;
    global_config = cfg_default_config();
    EXPECT_EQ(dispatch("c:do_it:s:"), "e:do_it:s:Unknown command");
    EXPECT_EQ(dispatch("x:get_zoom:n:"), "e:no_cmd:s:Failed to decode the command");
    EXPECT_EQ(dispatch("c:get_mic_volume:n:"), "r:get_mic_volume:s:100");
    EXPECT_EQ(dispatch("c:enable_video:s:1"), "e:enable_video:n:");
    global_config.luminance = 3;
    global_config.enc_type = 2;
    global_config.pip_mode = 1;
    global_config.reticle = 0;
    EXPECT_EQ(dispatch("c:get_lum:n:"), "r:get_lum:s:3");
    EXPECT_EQ(dispatch("c:get_enc_type:i:"), "r:get_enc_type:s:2");
    EXPECT_EQ(dispatch("c:get_pip:n:"), "r:get_pip:s:1");
    EXPECT_EQ(dispatch("c:get_reticle:n:"), "r:get_reticle:s:0");
    EXPECT_EQ(dispatch("c:print_config:n:"), "r:print_config:s:" + cfg_serialize_global_config());
    global_config = cfg_default_config();
}

TEST(CommandTable, HelpListsEveryCommandThenTheLegend) {
    std::string help = api_get_help();
    std::istringstream lines(help);
    std::string line;
    for (const command_entry &entry : cmd_list) {
        ASSERT_TRUE(std::getline(lines, line));
        std::string name = std::string(entry.name) + std::string(20 - strlen(entry.name), ' ');
        EXPECT_EQ(line, "   " + name + " " + entry.help);
        EXPECT_EQ(api_locate_command(entry.name), entry.handler);
    }
    std::getline(lines, line);
    EXPECT_EQ(line, "");
    std::getline(lines, line);
    EXPECT_EQ(line, "  Client Commands Legend:");
    int legend_lines = 0;
    while (std::getline(lines, line)) {
        ++legend_lines;
    }
    EXPECT_EQ(legend_lines, 4);
    EXPECT_EQ(help.substr(0, 25), "   set_qml_prop         a");
    EXPECT_NE(help.find("   enable_http_stream   argc:1 enable/disable the http stream\n"),
              std::string::npos);
    EXPECT_EQ(api_locate_command("get_lu"), nullptr);
    EXPECT_EQ(api_locate_command("GET_LUM"), nullptr);
}

}  // namespace
