# Third-party libraries: zlib and nlohmann-json from Debian's packages, FFmpeg and LAME from the
# cache that scripts/build-deps.sh fills, GoogleTest from /usr/src/googletest.

set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

# The json package's own CMake config adds -I/usr/include, which drags glibc headers into the
# cross build; use a private copy of the header folder instead.
set(QM_JSON_INCLUDE ${CMAKE_BINARY_DIR}/third_party/include)
file(COPY /usr/include/nlohmann DESTINATION ${QM_JSON_INCLUDE})
add_library(qm_json INTERFACE)
target_include_directories(qm_json SYSTEM INTERFACE ${QM_JSON_INCLUDE})
add_library(nlohmann_json::nlohmann_json ALIAS qm_json)

if(NOT QM_DEPS_PREFIX)
  message(FATAL_ERROR "QM_DEPS_PREFIX is not set: configure through ./test.sh or pass the prefix that scripts/build-deps.sh prints")
endif()

# FFmpeg: static libraries with the link line pkg-config gives for them.
find_package(PkgConfig REQUIRED)
set(ENV{PKG_CONFIG_LIBDIR} "${QM_DEPS_PREFIX}/lib/pkgconfig:/usr/i686-w64-mingw32/lib/pkgconfig")
execute_process(
  COMMAND pkg-config --static --libs libavformat libavcodec libswresample libavutil
  OUTPUT_VARIABLE QM_FFMPEG_LIBS OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "FFmpeg not found under ${QM_DEPS_PREFIX}")
endif()
separate_arguments(QM_FFMPEG_LIBS UNIX_COMMAND "${QM_FFMPEG_LIBS}")
add_library(qm_ffmpeg INTERFACE)
target_include_directories(qm_ffmpeg SYSTEM INTERFACE ${QM_DEPS_PREFIX}/include)
target_link_libraries(qm_ffmpeg INTERFACE ${QM_FFMPEG_LIBS})
add_library(FFmpeg::FFmpeg ALIAS qm_ffmpeg)

find_library(QM_MP3LAME_LIB NAMES mp3lame libmp3lame.a PATHS ${QM_DEPS_PREFIX}/lib NO_DEFAULT_PATH REQUIRED)
find_path(QM_MP3LAME_INCLUDE lame/lame.h PATHS ${QM_DEPS_PREFIX}/include NO_DEFAULT_PATH REQUIRED)
add_library(qm_mp3lame INTERFACE)
target_include_directories(qm_mp3lame SYSTEM INTERFACE ${QM_MP3LAME_INCLUDE})
target_link_libraries(qm_mp3lame INTERFACE ${QM_MP3LAME_LIB})
add_library(Lame::mp3lame ALIAS qm_mp3lame)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)   # Win32 primitives under mingw
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
