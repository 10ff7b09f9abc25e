// The command line: options, usage and version texts, and the secure-boot key pair checks.

#include "app/options.h"

#include <unistd.h>

#include <array>
#include <cstdio>

#include "app/exit_codes.h"
#include "app/refusal_cause.h"
#include "common/console.h"
#include "firmware/image_patching.h"
#include "flash/secure_boot_key.h"

namespace {

constexpr const char* usage_string =
    "Usage:\r\n"
    "\r\n"
    "kavro-flash\r\n"
    "    -a <ads-file>: Use an external ADS file instead of the built-in platform ADS files "
    "(optional)\r\n"
    "    -b <base-image>: The signed custom base bootloader 7z image (optional)\r\n"
    "    -o <ota-image>: The OTA 7z image to flash with. This must be specified\r\n"
    "    -s <settings-file>: Specify the settings json file for configuring the device. "
    "(optional)\r\n"
    "    -p <public-key>: Specify the public key to use for secure boot (optional)\r\n"
    "    -q <private-key>: Specify the private key to use for secure boot (optional)\r\n"
    "    -f: Force move the old calibration partitions to new layout. DO NOT use unless "
    "confident\r\n"
    "    -g: Enable automated mode. For use by scripts, no logging will be printed\r\n"
    "    -V: Print version\r\n"
    "\r\n";

void print_version() {
  std::printf("kavro-flash: version %s\r\n", KAVRO_VERSION);
}

void print_usage() {
  debug("%s\r\n", usage_string);
}

// Each reason a key file cannot be used, in the words and with the exit status of a refusal.
std::optional<int> check_private_key(const std::string& path) {
  switch (load_private_key(path.c_str()).problem) {
    case key_problem::none:
      return std::nullopt;
    case key_problem::cannot_open:
      explain_refusal("Cannot open private key file '%s'\r\n", path.c_str());
      explain_unopened_file(path);
      return EXIT_USAGE;
    case key_problem::cannot_read:
      explain_refusal("Cannot read valid private key from file '%s'\r\n", path.c_str());
      explain_unread_private_key(path);
      return EXIT_USAGE;
    case key_problem::not_rsa:
      explain_refusal("Private key is not an RSA key\r\n");
      return EXIT_KEY_INVALID;
    case key_problem::inconsistent:
      explain_refusal("RSA check failed on private key\r\n");
      return EXIT_KEY_INVALID;
    default:  // too large: the size is the one check a private key file has left
      explain_refusal("Private key is too large: signatures must fit %d bytes\r\n",
                      static_cast<int>(SW_SIGNATURE_FIELD_LENGTH));
      return EXIT_KEY_INVALID;
  }
}

// Only the size is checked here; the bytes go into the bootloader image unparsed.
std::optional<int> check_public_key(const std::string& path) {
  std::array<uint8_t, SECURE_BOOT_KEY_SIZE> key{};
  switch (read_public_key(path.c_str(), key)) {
    case key_problem::none:
      return std::nullopt;
    case key_problem::cannot_open:
      explain_refusal("Cannot open public key file '%s'\r\n", path.c_str());
      explain_unopened_file(path);
      return EXIT_USAGE;
    default:
      explain_refusal("Public key must be exactly %d bytes\r\n", SECURE_BOOT_KEY_SIZE);
      explain_public_key_size(path);
      return EXIT_KEY_INVALID;
  }
}

std::optional<int> parse_command_line(int argc, char* argv[], Options& options) {
  opterr = 0;
  const std::string option_string = flasher_option_string();
  int option = 0;
  while ((option = getopt(argc, argv, option_string.c_str())) != -1) {
    if (take_firmware_option(option, optarg, options)) {
      continue;
    }
    switch (option) {
      case 'g':
        enable_automated_mode();
        break;
      case 'V':
        print_version();
        return EXIT_FLASHED;
      case 'h':
      case '?':
        print_usage();
        return EXIT_USAGE;
      default:
        explain_refusal("Unknown option '%c'\r\n", option);
        print_usage();
        return EXIT_USAGE;
    }
  }
  return std::nullopt;
}

// Every argument must be an option or an option's value. Ignoring a stray one would also ignore
// the options after it, and so flash with default settings or without signing although the
// command line asked otherwise. "--" alone ends the options and leaves nothing behind.
std::optional<int> check_no_stray_argument(int argc, char* argv[]) {
  if (optind < argc) {
    explain_refusal("Unexpected argument '%s'\r\n", argv[optind]);
    return EXIT_USAGE;
  }
  return std::nullopt;
}

std::optional<int> check_image_given(const Options& options) {
  if (options.base_file.empty() && options.ota_file.empty()) {
    explain_refusal("No image file provided\r\n");
    print_usage();
    return EXIT_USAGE;
  }
  return std::nullopt;
}

// Nothing of the keys is kept: every flash session reads the key files again.
std::optional<int> check_key_pair(const Options& options) {
  if (options.private_key.empty() && options.public_key.empty()) {
    return std::nullopt;
  }
  if (options.private_key.empty() || options.public_key.empty()) {
    explain_refusal("Public and private key must be provided together\r\n");
    print_usage();
    return EXIT_KEY_PAIR_INCOMPLETE;
  }
  if (const auto failure = check_private_key(options.private_key)) {
    return failure;
  }
  return check_public_key(options.public_key);
}

}  // namespace

std::string firmware_option_string() {
  std::string letters;
  for (const FirmwareOption& option : kFirmwareOptions) {
    letters += option.letter;
    letters += option.path != nullptr ? ":" : "";
  }
  return letters;
}

// The leading '+' makes glibc's getopt stop at the first plain argument instead of moving
// options that follow it to the front; that argument is then refused (check_no_stray_argument).
// The firmware options come first.
std::string flasher_option_string() {
  return "+" + firmware_option_string() + "gVh";
}

bool take_firmware_option(int letter, const char* argument, Options& options) {
  for (const FirmwareOption& option : kFirmwareOptions) {
    if (option.letter != letter) {
      continue;
    }
    if (option.path == nullptr) {
      options.move_calib = 1;
    } else {
      options.*option.path = argument;
    }
    return true;
  }
  return false;
}

std::optional<int> check_image_and_key_pair(const Options& options) {
  if (const auto failure = check_image_given(options)) {
    return failure;
  }
  return check_key_pair(options);
}

std::optional<int> run_startup_checks(int argc, char* argv[], Options& options) {
  if (const auto outcome = parse_command_line(argc, argv, options)) {
    return outcome;
  }
  if (const auto failure = check_no_stray_argument(argc, argv)) {
    return failure;
  }
  return check_image_and_key_pair(options);
}
