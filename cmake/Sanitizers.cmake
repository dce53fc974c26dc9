# Sanitizer and fuzzing builds (scripts/test-sanitizers, scripts/fuzz).
#
# FLASHKEEL_SANITIZE=address  AddressSanitizer + UndefinedBehaviorSanitizer
# FLASHKEEL_SANITIZE=thread   ThreadSanitizer
# FLASHKEEL_FUZZ=ON           every object also gets libFuzzer's coverage
#                             instrumentation; defaults to address.
if(FLASHKEEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "FLASHKEEL_FUZZ needs clang (CC=clang-14 CXX=clang++-14)")
  endif()
  if(FLASHKEEL_SANITIZE STREQUAL "")
    set(FLASHKEEL_SANITIZE address)
  endif()
endif()

if(FLASHKEEL_SANITIZE STREQUAL "address")
  set(FK_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined)
  # A vptr check needs the type info of every library, Qt's included.
  list(APPEND FK_SANITIZE_FLAGS -fno-sanitize=vptr)
elseif(FLASHKEEL_SANITIZE STREQUAL "thread")
  set(FK_SANITIZE_FLAGS -fsanitize=thread)
elseif(NOT FLASHKEEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "FLASHKEEL_SANITIZE: address, thread or empty, not '${FLASHKEEL_SANITIZE}'")
endif()

if(FK_SANITIZE_FLAGS)
  # Checked builds keep assertions; -O1 runs fast enough and builds faster.
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${FK_SANITIZE_FLAGS};-O1;-fno-omit-frame-pointer>")
  add_link_options(${FK_SANITIZE_FLAGS})
endif()
if(FLASHKEEL_FUZZ)
  add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-fsanitize=fuzzer-no-link>")
endif()
