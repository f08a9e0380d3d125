// Where the setup list lives: override, --tag release, or the latest one.
// No Windows header.
#pragma once

// The requested tag from g_cmdline's first "--tag ": at most 127 bytes of
// [A-Za-z0-9._-]; empty when absent or rejected. out holds 128 bytes.
void requested_tag(char out[128]);

// Builds the setup list address from an override value (may be null or
// empty) and a requested tag (may be empty) into out (1024 bytes).
void build_list_address(const char* override_value, const char* tag, char out[1024]);

// Computes the setup list address from TAMROCK_SETUP_LIST, --tag and the
// configured host; returns its static 1024-byte buffer, valid until the
// next call.
const char* manifest_url();
