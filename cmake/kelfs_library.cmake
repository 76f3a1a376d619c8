# The file system as others link it: libkelfs.so and libkelfs.a, both
# exporting only the names of src/fsapi/kelfs.exports (the public interface
# of include/kelfs/), so that a caller's own read_at, eprintf or M_alloc
# never meets the library's.
#
#   libkelfs.so.1.0.0  soname libkelfs.so.1; a version script makes every
#                      name outside the list local; it records libstdc++ as
#                      a dependency, so a C caller links with -lkelfs alone
#   libkelfs.a         one relocatable object (ld -r) of every layer, its
#                      section groups dissolved, then every global but the
#                      listed names made local (objcopy): a static caller
#                      gets the whole file system or nothing, and none of
#                      its internal names. Needs -lstdc++ -lm (kelfs.pc's
#                      Libs.private)
#
# kel, dorvex-tool and the tests link the layers themselves (target kelfs,
# build/libkelfs-layers.a), since the tests reach inside them.
set(KELFS_EXPORTS ${CMAKE_SOURCE_DIR}/src/fsapi/kelfs.exports)
set(KELFS_SOVERSION 1)
file(STRINGS ${KELFS_EXPORTS} KELFS_EXPORTED_NAMES REGEX "^[A-Za-z_]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KELFS_EXPORTS})
list(JOIN KELFS_EXPORTED_NAMES ";\n    " KELFS_VERSION_NAMES)
set(KELFS_VERSION_SCRIPT ${CMAKE_BINARY_DIR}/kelfs.map)
file(WRITE ${KELFS_VERSION_SCRIPT}
     "{\n  global:\n    ${KELFS_VERSION_NAMES};\n  local:\n    *;\n};\n")
list(JOIN KELFS_EXPORTED_NAMES "\n" KELFS_GLOBALS_TEXT)
set(KELFS_GLOBALS ${CMAKE_BINARY_DIR}/kelfs.globals)
file(WRITE ${KELFS_GLOBALS} "${KELFS_GLOBALS_TEXT}\n")

# GCC marks the statics of inline functions and inline variables
# STB_GNU_UNIQUE, a binding that objcopy cannot make local: plain weak
# symbols instead, which it can.
set(KELFS_OBJECTS)
foreach(layer ${KELFS_LAYER_TARGETS})
  list(APPEND KELFS_OBJECTS $<TARGET_OBJECTS:${layer}>)
  target_compile_options(${layer} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
endforeach()

add_library(kelfs_shared SHARED ${KELFS_OBJECTS})
set_target_properties(kelfs_shared PROPERTIES
  OUTPUT_NAME kelfs VERSION ${KEL_VERSION_STRING} SOVERSION ${KELFS_SOVERSION}
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINK_DEPENDS ${KELFS_VERSION_SCRIPT})
target_link_options(kelfs_shared PRIVATE -Wl,--version-script=${KELFS_VERSION_SCRIPT}
                    -Wl,--no-undefined)
target_include_directories(kelfs_shared INTERFACE ${CMAKE_SOURCE_DIR}/include)

find_program(KEL_OBJCOPY NAMES objcopy REQUIRED)
set(KELFS_PRELINKED ${CMAKE_BINARY_DIR}/kelfs-prelinked.o)
set(KELFS_STATIC ${CMAKE_BINARY_DIR}/libkelfs.a)
add_custom_command(OUTPUT ${KELFS_STATIC}
  COMMAND ${CMAKE_LINKER} -r --force-group-allocation -o ${KELFS_PRELINKED} ${KELFS_OBJECTS}
  COMMAND ${KEL_OBJCOPY} --keep-global-symbols=${KELFS_GLOBALS} ${KELFS_PRELINKED}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${KELFS_STATIC}
  COMMAND ${CMAKE_AR} rcs ${KELFS_STATIC} ${KELFS_PRELINKED}
  DEPENDS ${KELFS_LAYER_TARGETS} ${KELFS_EXPORTS} ${KELFS_OBJECTS}
  COMMAND_EXPAND_LISTS VERBATIM
  COMMENT "Making libkelfs.a: one object, only the public names global")
add_custom_target(kelfs_static ALL DEPENDS ${KELFS_STATIC})
