# The code that ships gets no silent integer conversions: widths (size_t and
# long are 32 bits on the switch, 64 on the host) and signedness (plain char
# is unsigned on PowerPC, signed on x86) are where the two builds part, and
# image headers, NVRAM fields and CRCs are made of exactly such arithmetic.
foreach(_target bootmgr_platform bootmgr_console bootmgr_image bootmgr_network bootmgr_rescue
                bootmgr_boot boot-manager usb-mount)
  if(TARGET ${_target})
    target_compile_options(${_target} PRIVATE -Wconversion -Wsign-conversion)
  endif()
endforeach()

# The image tool writes the format the boot manager reads: width slips there
# too. Its byte-vector iterator arithmetic would make sign warnings noise.
foreach(_target swimage_lib swimage)
  if(TARGET ${_target})
    target_compile_options(${_target} PRIVATE -Wconversion)
  endif()
endforeach()
