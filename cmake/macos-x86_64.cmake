# macOS 11 or later on Intel: tools/macos-build builds with it.
set(fw2hex_macos_processor x86_64)
set(fw2hex_zig_processor x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/macos.cmake)
