# libsodium, the signature check's Ed25519 and SHA-256, as the target
# `bl_sodium`. A PC build takes Debian's libsodium-dev through pkg-config. A
# cross build for the switch links a static build made from Debian's source
# package of the same library (scripts/debian-libsodium), shared by every
# cross build of this tree; a Buildroot or Yocto recipe turns
# BOOTLAUNCH_SODIUM_FROM_DEBIAN off and brings its own through pkg-config.
option(BOOTLAUNCH_SODIUM_FROM_DEBIAN
  "Cross builds: build libsodium from Debian's source package in the build tree"
  ${CMAKE_CROSSCOMPILING})

add_library(bl_sodium INTERFACE)
if(CMAKE_CROSSCOMPILING AND BOOTLAUNCH_SODIUM_FROM_DEBIAN)
  string(REGEX REPLACE "-gcc$" "" triplet "${CMAKE_C_COMPILER}")
  get_filename_component(triplet "${triplet}" NAME)
  set(prefix "${PROJECT_SOURCE_DIR}/build/deps/libsodium-${triplet}")
  file(MAKE_DIRECTORY "${PROJECT_SOURCE_DIR}/build/deps")
  file(LOCK "${PROJECT_SOURCE_DIR}/build/deps/libsodium-${triplet}.lock")
  if(NOT EXISTS "${prefix}/debian-source")
    execute_process(
      COMMAND "${PROJECT_SOURCE_DIR}/scripts/debian-libsodium" "${prefix}" "${triplet}"
              "${CMAKE_C_COMPILER}"
      RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "libsodium for ${triplet} could not be built (scripts/debian-libsodium)")
    endif()
  endif()
  file(LOCK "${PROJECT_SOURCE_DIR}/build/deps/libsodium-${triplet}.lock" RELEASE)
  target_include_directories(bl_sodium SYSTEM INTERFACE "${prefix}/include")
  target_link_libraries(bl_sodium INTERFACE "${prefix}/lib/libsodium.a")
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
  if(BOOTLAUNCH_STATIC)
    target_link_libraries(bl_sodium INTERFACE ${SODIUM_STATIC_LDFLAGS})
    target_include_directories(bl_sodium SYSTEM INTERFACE ${SODIUM_INCLUDE_DIRS})
  else()
    target_link_libraries(bl_sodium INTERFACE PkgConfig::SODIUM)
  endif()
endif()
