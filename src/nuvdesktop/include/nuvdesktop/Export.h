#pragma once

// Marks what libnuvdesktop exports; the rest of the library is built with
// hidden visibility and stays private to it.
#define NUVDESKTOP_EXPORT __attribute__((visibility("default")))
