# Every external library is found once here; folders link the imported targets.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(Boost 1.74 REQUIRED COMPONENTS system thread chrono regex filesystem)
pkg_check_modules(GSOAP REQUIRED IMPORTED_TARGET gsoapssl++)
pkg_check_modules(LIBXMLPP REQUIRED IMPORTED_TARGET libxml++-2.6)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
# libxml2 is the oracle of the request reader's differential tests (it comes with libxml++).
pkg_check_modules(LIBXML2 REQUIRED IMPORTED_TARGET libxml-2.0)
find_package(ZLIB REQUIRED)
find_program(SOAPCPP2 soapcpp2 REQUIRED)
set(GSOAP_IMPORT_DIR /usr/share/gsoap/import CACHE PATH "gSOAP import headers")
set(GSOAP_PLUGIN_DIR /usr/share/gsoap/plugin CACHE PATH "gSOAP plug-in sources")
if(CORVANE_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  # The node client of the system tests; without npm the build stops here rather than a test
  # skipping.
  find_program(NPM npm)
  if(NOT NPM)
    message(FATAL_ERROR "npm not found: scripts/install-deps.sh installs the test clients")
  endif()
endif()
