// Reading, serialising and writing back the settings file.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "config/config.h"
#include "core/files.h"
#include "log_capture.h"

namespace {

class Config : public testing::Test {
protected:
    void SetUp() override {
        global_config = cfg_default_config();
        char name[] = "/tmp/mrvdc-conf-XXXXXX";
        dir_ = mkdtemp(name);
        path_ = dir_ + "/mrvdc.conf";
    }
    void TearDown() override {
        cfg_clean();
        global_config = cfg_default_config();
        std::system(("rm -rf " + dir_).c_str());
    }
    int read_text(const std::string &text) {
        std::ofstream(path_, std::ios::binary) << text;
        return cfg_read_config(path_.c_str());
    }
    std::string file_text() {
        std::ifstream in(path_);
        std::stringstream contents;
        contents << in.rdbuf();
        return contents.str();
    }
    std::string dir_;
    std::string path_;
    LogCapture log_;
};

TEST_F(Config, OnlyNewlineEndedLinesCount) {
    EXPECT_EQ(read_text("luminance=2"), 1);
    EXPECT_EQ(global_config.luminance, 0);
    EXPECT_TRUE(log_.contains("Failed to find any configuration keys in " + path_));

    EXPECT_EQ(read_text("luminance=2\n"), 0);
    EXPECT_EQ(global_config.luminance, 2);
    EXPECT_TRUE(log_.contains("[INFO]: Key: luminance, Value:2\n"));

    EXPECT_EQ(read_text("pip_mode=1\nluminance=3"), 0);
    EXPECT_EQ(global_config.pip_mode, 1);
    EXPECT_EQ(global_config.luminance, 2);
}

TEST_F(Config, UnreadableOrTinyFilesKeepTheDefaults) {
    EXPECT_EQ(cfg_read_config((dir_ + "/absent").c_str()), 1);
    EXPECT_EQ(read_text("\n"), 1);
    EXPECT_EQ(read_text(""), 1);
    EXPECT_EQ(read_text("# only a comment\n"), 1);
    EXPECT_EQ(cfg_serialize_global_config(),
              (global_config = cfg_default_config(), cfg_serialize_global_config()));
}

TEST_F(Config, NothingIsTrimmed) {
    EXPECT_EQ(read_text("luminance =2\nqml_file= /x.qml\r\nmedia_path=/m/\r\n"), 0);
    EXPECT_EQ(global_config.luminance, 0);
    EXPECT_TRUE(log_.contains("[WARN]: Failed to parse <luminance >\n"));
    EXPECT_EQ(global_config.qml_file, " /x.qml\r");
    EXPECT_EQ(global_config.media_path, "/m/\r");
}

TEST_F(Config, NumbersKeepTheirLeadingPartAndWarnAboutTheRest) {
    EXPECT_EQ(
        read_text("record_max_len=60s\norigin_x= 100.5px\nnuc_type=\nreticle_opacity=-0.25\n"), 0);
    EXPECT_EQ(global_config.record_max_len, 60);
    EXPECT_DOUBLE_EQ(global_config.origin_x, 100.5);
    EXPECT_EQ(global_config.nuc_type, 0);
    EXPECT_DOUBLE_EQ(global_config.reticle_opacity, -0.25);
    EXPECT_TRUE(log_.contains("Failed to parse <record_max_len>"));
    EXPECT_TRUE(log_.contains("Failed to parse <origin_x>"));
    EXPECT_FALSE(log_.contains("Failed to parse <nuc_type>"));
    EXPECT_FALSE(log_.contains("Failed to parse <reticle_opacity>"));
}

TEST_F(Config, CommentsMalformedLinesUnknownKeysAndDuplicates) {
    EXPECT_EQ(read_text("# luminance=3\n\nnot a pair\nhttp_url=http://h/a=b\nbogus=1\n"
                        "luminance=1\nluminance=3\nLuminance=2\nredis_socket=/tmp/r.sock\n"),
              0);
    EXPECT_EQ(global_config.luminance, 3);
    EXPECT_EQ(global_config.http_url, "http://h/a=b");
    EXPECT_EQ(global_config.redis_socket, cfg_default_config().redis_socket);
    std::string log = log_.text();
    EXPECT_EQ(log.find("Malformed line 1:"), std::string::npos);
    EXPECT_NE(log.find("[WARN]: Malformed line 2: of file " + path_ + "\n\n"), std::string::npos);
    EXPECT_NE(log.find("[WARN]: Malformed line 3:not a pair of file " + path_), std::string::npos);
    EXPECT_NE(log.find("Failed to parse <bogus>"), std::string::npos);
    EXPECT_NE(log.find("Failed to parse <Luminance>"), std::string::npos);
    EXPECT_NE(log.find("Failed to parse <redis_socket>"), std::string::npos);
}

TEST_F(Config, SerialisesEveryKeyInTableOrder) {
    std::string text = cfg_serialize_global_config();
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_LT(count, CFG_KEY_COUNT);
        EXPECT_EQ(line.rfind(std::string(parse_table[count].key) + "=", 0), 0u) << line;
        ++count;
    }
    EXPECT_EQ(count, 34);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find("redis_socket"), std::string::npos);
    EXPECT_NE(text.find("luminance=0\npip_mode=0\nvideo_width=1024\nvideo_height=768\n"),
              std::string::npos);
    EXPECT_NE(text.find("\nhttp_url=http://127.0.0.1:1234/upload/channel\nreticle=1\n"
                        "origin_x=512.00\norigin_y=384.00\n"),
              std::string::npos);
    EXPECT_NE(text.find("\nreticle_opacity=1.00\nred_dot=1\nnuc_type=1\nenc_type=0\n"
                        "mic_volume=100\naud_enc_bitrate=96\nrecord_max_len=300\n"),
              std::string::npos);
    EXPECT_EQ(text.rfind("record_max_len=300\n"), text.size() - 19);
}

TEST_F(Config, DoublesKeepTwoDecimals) {
    global_config.origin_x = 100;
    global_config.origin_y = 512.345;
    std::string text = cfg_serialize_global_config();
    EXPECT_NE(text.find("origin_x=100.00\norigin_y=512.35\n"), std::string::npos);
}

TEST_F(Config, LongValuesAreWrittenWhole) {
    global_config.http_url = "http://example/" + std::string(5000, 'p');
    std::string text = cfg_serialize_global_config();
    EXPECT_NE(text.find("http_url=" + global_config.http_url + "\n"), std::string::npos);
}

TEST_F(Config, WriteBackReplacesTheFileWholeAndReadsBackTheSame) {
    ASSERT_EQ(write_full_file(path_.c_str(), "old contents\n"), 0);
    chmod(path_.c_str(), 0640);
    global_config.luminance = 2;
    global_config.origin_x = 700.25;
    global_config.qml_file = "/opt/other.qml";
    EXPECT_EQ(cfg_write_config_file(path_.c_str()), 0);
    EXPECT_EQ(file_text(), cfg_serialize_global_config());
    struct stat info {};
    ASSERT_EQ(stat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);

    // Nothing but the file itself is left in the folder.
    DIR *dir = opendir(dir_.c_str());
    int entries = 0;
    while (dirent *entry = readdir(dir)) {
        entries += entry->d_name[0] != '.';
    }
    closedir(dir);
    EXPECT_EQ(entries, 1);

    std::string written = file_text();
    global_config = cfg_default_config();
    EXPECT_EQ(cfg_read_config(path_.c_str()), 0);
    EXPECT_EQ(global_config.luminance, 2);
    EXPECT_DOUBLE_EQ(global_config.origin_x, 700.25);
    EXPECT_EQ(cfg_serialize_global_config(), written);
    EXPECT_FALSE(log_.contains("[WARN]"));

    EXPECT_EQ(cfg_write_config_file((dir_ + "/missing/mrvdc.conf").c_str()), 1);
}

}  // namespace

// The file installed as /etc/mrvdc.conf holds the built-in defaults, as the daemon writes them.
TEST(InstalledConfig, HoldsTheBuiltInDefaults) {
    ASSERT_EQ(getenv("MRVDC_SYSROOT"), nullptr) << "the sight's fixed paths are compared";
    std::ifstream file(MRVDC_SOURCE_DIR "/dist/mrvdc.conf", std::ios::binary);
    ASSERT_TRUE(file.is_open());
    std::stringstream installed;
    installed << file.rdbuf();
    global_config = cfg_default_config();
    EXPECT_EQ(installed.str(), cfg_serialize_global_config());
}
