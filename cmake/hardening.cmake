# The hardening flags Debian builds its packages with (dpkg-buildflags), which
# lintian looks for in the package's programs: stack protector, fortified
# functions, format checks, read-only relocations bound at start, PIE.
option(ACKPROBE_HARDENING "Build with Debian's hardening flags" ON)
if(ACKPROBE_HARDENING)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  include(CheckPIESupported)
  check_pie_supported()
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  # Fortifying needs an optimised build; a compiler that sets it already is
  # given this level instead, without a redefinition warning.
  add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
