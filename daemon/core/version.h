// Identification of this build, as shown in the help and the first log line.
#pragma once

#define MRVDC_VERSION_TEXT \
    "ver:3.0.0, date:2023-10-16 11:33:03, git:a631f0b, type:release, build:clean"
