#pragma once
// Process exit status of kavro-flash: a script that drives the tool tells every outcome apart
// by this number alone (in automated mode nothing else is printed). 10 is not used.
inline constexpr int EXIT_FLASHED = 0;
inline constexpr int EXIT_THREAD_START = 1;
inline constexpr int EXIT_USAGE = 2;
inline constexpr int EXIT_DEVICE_MANAGER = 3;
inline constexpr int EXIT_REQUEST_QUEUE = 4;
inline constexpr int EXIT_ARCHIVE = 5;
inline constexpr int EXIT_SETTINGS = 6;
inline constexpr int EXIT_NO_PLATFORM = 7;
inline constexpr int EXIT_DEVICE_LIST = 8;
inline constexpr int EXIT_SESSION = 9;
inline constexpr int EXIT_KEY_PAIR_INCOMPLETE = 11;
inline constexpr int EXIT_KEY_INVALID = 12;
// An interactive run stopped by SIGINT or SIGTERM, as a shell reports a run ended by Ctrl-C.
inline constexpr int EXIT_INTERRUPTED = 130;
