// Small file, time, string and free-space helpers shared by start-up, the timer tick
// and the device-control commands.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

// Creates `path` (mode 0444) if missing without truncating it. 0, or -1 on failure.
int touch_file(const char *path);
// 1 when `path` exists, else 0.
int is_file_created(const char *path);
// 1 while the HDMI cable-state node exists (a cable is attached), else 0.
int is_hdmi_connected();
// Local time as 14 digits, year to second ("20231016113303"); none on failure.
std::optional<std::string> get_timestamp_string();
// The whole file; none when it cannot be opened.
std::optional<std::string> read_full_file(const char *path);
// Replaces the file's contents: 0, 1 when it cannot be opened, -1 on a short write.
int write_full_file(const char *path, const char *text);
// Forces a file's data to storage; a file that cannot be opened is skipped (0).
int flush_file(const char *path);
// Creates a folder (0777 under the umask) when nothing exists at `path`; 0 when something does.
int create_folder(const char *path);
std::string concatenate_strings(std::initializer_list<std::string_view> parts);

// Free bytes (including those reserved for the superuser) of the file system holding `path`:
// 0, or 1 after a warning when it cannot be queried.
int get_free_space(const char *path, uint64_t *out);
// 1 when at least `required` bytes are free, else 0 (also when the query fails).
int has_enough_space(const char *path, uint64_t required);
