# Compile and link flags of the Windows (MinGW-w64) builds, shared by the
# product and bench/bare_dialog, its size baseline.
#
# The exe runs on Windows 98 to XP. No exceptions, RTTI or unwind tables:
# their runtime (the unwinder's frame registry, emulated TLS, gthreads)
# imports functions Windows 98 lacks, e.g. CreateSemaphoreW. Thread-safe
# statics would pull in the same thread runtime. Every function in a section
# of its own so the linker drops what nothing uses (not -fdata-sections:
# MinGW's gcc then places zero-initialised data in .data$ sections, stored in
# the file, instead of .bss); the runtimes linked statically, so no MinGW DLL
# travels with the exe; symbols stripped.
# A target that needs exceptions (the UI driver) turns them on again.
add_compile_options(-fno-exceptions -fno-rtti -fno-threadsafe-statics
                    -fno-asynchronous-unwind-tables -fno-unwind-tables
                    -ffunction-sections)
add_link_options(-static -static-libgcc -static-libstdc++ -Wl,--gc-sections)

# Link-time optimisation: the optimiser sees the whole program, inlines across
# source files and drops what no caller needs.
set(CMAKE_INTERPROCEDURAL_OPTIMIZATION ON)
# The smallest code: -Oz, after MinSizeRel's -Os so that it wins, and at link
# time too, where the link-time optimiser generates the code; small functions
# stay calls instead of copies. On i686 GCC keeps a frame pointer in every
# function unless told otherwise (nothing here walks frames) and keeps the
# stack 16-byte aligned, where the Windows ABI promises 4 bytes and no code
# here needs more.
# Data at the alignment the ABI asks for, not the wider one GCC gives arrays
# of 32 bytes and more (for vector loads nothing here does): the registry
# paths then sit end to end instead of each at a 32-byte boundary. Identical
# constant arrays of different source files are stored once (no code here
# compares their addresses).
set(QU_SIZE_FLAGS -Oz -fno-inline-small-functions -malign-data=abi -fmerge-all-constants)
# On i686 the code is for the 486, the oldest processor Windows 98 runs on:
# the toolchain's default (the Pentium Pro) allows conditional moves, which a
# 486, Pentium or Pentium MMX does not have.
# On i686 arguments are pushed, not stored into space reserved by the
# prologue: stack probing (-mstack-arg-probe, the Windows default) forces the
# latter, longer form on every call. Probing only matters for a frame of a
# page or more, which could step over the stack's guard page; the largest
# frame here is under 2 KB, and the build fails if one reaches 3 KB.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  list(APPEND QU_SIZE_FLAGS -march=i486 -fomit-frame-pointer -mpreferred-stack-boundary=2
       -mno-stack-arg-probe -Werror=frame-larger-than=3072)
endif()
add_compile_options(${QU_SIZE_FLAGS})
add_link_options(${QU_SIZE_FLAGS})

# QU_KEEP_SYMBOLS=ON keeps the symbol table, for measuring what takes the room.
option(QU_KEEP_SYMBOLS "Keep symbols in the Windows executables" OFF)
if(NOT QU_KEEP_SYMBOLS)
  add_link_options(-s)
endif()
