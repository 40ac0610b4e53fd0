#pragma once
// Visibility of the library's interface: libkitbase.so is built with hidden
// visibility; what the program and the stand-ins bind to is marked KITBASE_API.
#define KITBASE_API __attribute__((visibility("default")))
