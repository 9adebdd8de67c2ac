# The image-signing public keys compiled into the boot manager.
#
# BOOTMGR_PRODUCTION_KEY and BOOTMGR_DEVELOPMENT_KEY name PEM files holding the
# RSA-2048 public keys ("PUBLIC KEY" blocks, 451 characters each). Left empty,
# the build generates a throw-away key pair for each into the build tree, so
# that tests and the demo can sign images with the private halves. Generated
# keys are never part of the source tree.
#
# Results for the rest of the build:
#   BOOTMGR_PRODUCTION_PUBLIC_KEY, BOOTMGR_DEVELOPMENT_PUBLIC_KEY  the PEM files used
#   BOOTMGR_PRODUCTION_SIGNING_KEY, BOOTMGR_DEVELOPMENT_SIGNING_KEY private halves,
#       empty when the keys came from outside and no private key was named
#   BOOTMGR_STRANGER_SIGNING_KEY, BOOTMGR_STRANGER_PUBLIC_KEY  a third pair that
#       neither key accepts, for tests
#   ${BOOTMGR_GENERATED_DIR}/image/signing_key_files.h  the same paths for C++ tests

set(BOOTMGR_PRODUCTION_KEY "" CACHE FILEPATH
    "PEM file with the production image-signing public key (RSA-2048); generated when empty")
set(BOOTMGR_DEVELOPMENT_KEY "" CACHE FILEPATH
    "PEM file with the development image-signing public key (RSA-2048); generated when empty")
set(BOOTMGR_PRODUCTION_PRIVATE_KEY "" CACHE FILEPATH
    "Optional private half of BOOTMGR_PRODUCTION_KEY, used only by tests and the demo")
set(BOOTMGR_DEVELOPMENT_PRIVATE_KEY "" CACHE FILEPATH
    "Optional private half of BOOTMGR_DEVELOPMENT_KEY, used only by tests and the demo")

set(BOOTMGR_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated CACHE INTERNAL "")
set(_keys_dir ${CMAKE_BINARY_DIR}/signing-keys)

find_program(OPENSSL_CLI openssl)

# Creates <name>.key.pem and <name>.pub.pem in the build tree once; later
# configure runs keep them so that images signed earlier stay valid.
function(_bootmgr_generate_key_pair name)
  set(private ${_keys_dir}/${name}.key.pem)
  set(public ${_keys_dir}/${name}.pub.pem)
  if(NOT EXISTS ${private} OR NOT EXISTS ${public})
    if(NOT OPENSSL_CLI)
      message(FATAL_ERROR "The openssl program is needed to generate the ${name} test signing key")
    endif()
    file(MAKE_DIRECTORY ${_keys_dir})
    execute_process(
      COMMAND ${OPENSSL_CLI} genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048
              -out ${private}
      RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "Generating the ${name} test signing key failed: ${error}")
    endif()
    execute_process(
      COMMAND ${OPENSSL_CLI} pkey -in ${private} -pubout -out ${public}
      RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE error)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "Extracting the ${name} test public key failed: ${error}")
    endif()
  endif()
  set(_private ${private} PARENT_SCOPE)
  set(_public ${public} PARENT_SCOPE)
endfunction()

# Reads a public key PEM into <out>, refusing anything but a 451-character
# RSA-2048 "PUBLIC KEY" block: the boot manager stores the keys in fixed-size
# records.
function(_bootmgr_read_public_key file out)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "Signing key file ${file} does not exist")
  endif()
  file(READ ${file} text)
  string(LENGTH "${text}" length)
  if(NOT length EQUAL 451)
    message(FATAL_ERROR
      "Signing key ${file} is ${length} characters long; the boot manager takes only "
      "RSA-2048 public keys in PEM form (\"-----BEGIN PUBLIC KEY-----\"), which are "
      "451 characters long with Unix line ends")
  endif()
  if(NOT text MATCHES "^-----BEGIN PUBLIC KEY-----\n[A-Za-z0-9+/=\n]+-----END PUBLIC KEY-----\n$")
    message(FATAL_ERROR "Signing key ${file} is not a PEM \"PUBLIC KEY\" block")
  endif()
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  string(REPLACE "\n" "\\n" escaped "${text}")
  set(${out} "${escaped}" PARENT_SCOPE)
endfunction()

foreach(role PRODUCTION DEVELOPMENT)
  string(TOLOWER ${role} name)
  if(BOOTMGR_${role}_KEY)
    get_filename_component(public ${BOOTMGR_${role}_KEY} ABSOLUTE)
    set(private "")
    if(BOOTMGR_${role}_PRIVATE_KEY)
      get_filename_component(private ${BOOTMGR_${role}_PRIVATE_KEY} ABSOLUTE)
    endif()
  else()
    _bootmgr_generate_key_pair(${name})
    set(public ${_public})
    set(private ${_private})
  endif()
  _bootmgr_read_public_key(${public} BOOTMGR_${role}_PEM_TEXT)
  # Cache entries, so that host tools and test beds outside boot-manager/ see them.
  set(BOOTMGR_${role}_PUBLIC_KEY ${public} CACHE INTERNAL "")
  set(BOOTMGR_${role}_SIGNING_KEY "${private}" CACHE INTERNAL "")
endforeach()

if(BUILD_TESTING)
  _bootmgr_generate_key_pair(stranger)
  set(BOOTMGR_STRANGER_PUBLIC_KEY ${_public} CACHE INTERNAL "")
  set(BOOTMGR_STRANGER_SIGNING_KEY ${_private} CACHE INTERNAL "")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/signing_keys.cpp.in
               ${BOOTMGR_GENERATED_DIR}/image/signing_keys.cpp @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/signing_key_files.h.in
               ${BOOTMGR_GENERATED_DIR}/image/signing_key_files.h @ONLY)
