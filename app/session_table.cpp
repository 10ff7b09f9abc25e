// The table of flash sessions by slot index, and its teardown.

#include "app/session_table.h"

#include "flash/session.h"

SessionTable::~SessionTable() {
  destroy_all();
}

void SessionTable::destroy_all() {
  for (auto& session : flash_ctx_) {
    kavro_flash_destroy(&session);
  }
}
