# macOS 11 or later on Apple Silicon: tools/macos-build builds with it.
set(fw2hex_macos_processor arm64)
set(fw2hex_zig_processor aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
