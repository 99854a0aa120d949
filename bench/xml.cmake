# Ours against pugixml (Debian libpugixml-dev, benchmark-only): parsing and writing a ~10 MB
# message-history document.
find_package(pugixml QUIET)
if(TARGET pugixml::pugixml)
  set(VELMO_PUGIXML pugixml::pugixml)
elseif(TARGET pugixml)
  set(VELMO_PUGIXML pugixml)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(PUGIXML REQUIRED IMPORTED_TARGET pugixml)
  set(VELMO_PUGIXML PkgConfig::PUGIXML)
endif()
velmo_bench(xml SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/XmlBench.cpp DEPS foundation ${VELMO_PUGIXML})
