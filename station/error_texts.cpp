// The texts of a session's error pair, taken whole from the flash library.
#include "station/error_texts.h"

#include "flash/session.h"

namespace station {

std::string error_text(int error) {
  if (error == 0) {
    return {};
  }
  std::string text = kavro_flash_error_string(error);
  while (!text.empty() && (text.back() == ':' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

std::string sub_error_text(int error, int sub_error) {
  const char* text = kavro_flash_sub_error_string(error, sub_error);
  return text != nullptr ? text : "";
}

}  // namespace station
