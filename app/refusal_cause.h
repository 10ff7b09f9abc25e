#pragma once
// Explanations of why the interactive run refused an input.

#include <string>
#include <string_view>

struct kavro_archive_t;

// Explains, on the line after a refusal of the interactive run, why the input was refused
// (through explain(): standard error, nothing in automated mode). Each call stands right after
// the message it explains and looks at the input again on its own.

// A key file or other input that could not be opened.
void explain_unopened_file(const std::string& path);
// A private key file that holds no usable PEM private key.
void explain_unread_private_key(const std::string& path);
// A public key file of the wrong size.
void explain_public_key_size(const std::string& path);
// An archive that kavro_archive_init refused with `code`.
void explain_archive_refusal(const std::string& path, int code);
// A settings file that kavro_settings_parse_json_file refused with `code`.
void explain_settings_refusal(const std::string& path, int code);
// A platform that has no built-in base archive, no default settings or no product at all.
void explain_no_base_archive(std::string_view platform);
void explain_no_default_settings(std::string_view platform);
void explain_unknown_platform(std::string_view platform);
// The partitions that a session failing with `error` found missing from the archives.
void explain_missing_partitions(int error, kavro_archive_t** base, kavro_archive_t** ota);
