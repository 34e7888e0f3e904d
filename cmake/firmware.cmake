# The firmware image that the executables carry. Without FIRMWARE_IMAGE the
# build writes a deterministic development image of the shipped size, so
# that every build moves a realistic amount of data. No image is committed.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The identity header (firmware/identity.h.in) names the image by size and
# SHA-256. It is computed from the image file at build time and depends on
# it, so a changed image, given or generated, gives new version data.
set(FW_IDENTITY_HEADER "${CMAKE_BINARY_DIR}/firmware/identity.h")
# The image's SHA-256 as 32 raw bytes, embedded apart from the image: the
# updater checks the image against it at the start of every run.
set(FW_DIGEST_PATH "${CMAKE_BINARY_DIR}/firmware/image.sha256")

if(FIRMWARE_IMAGE)
  set(FW_IMAGE_PATH "${FIRMWARE_IMAGE}")
  add_custom_target(fw_image DEPENDS "${FW_IDENTITY_HEADER}" "${FW_DIGEST_PATH}")
else()
  set(FW_IMAGE_PATH "${CMAKE_BINARY_DIR}/firmware/dev-image.bin")
  add_custom_command(
    OUTPUT "${FW_IMAGE_PATH}"
    COMMAND Python3::Interpreter "${CMAKE_SOURCE_DIR}/firmware/make_dev_image.py" "${FW_IMAGE_PATH}"
    DEPENDS "${CMAKE_SOURCE_DIR}/firmware/make_dev_image.py"
    COMMENT "Generating the development firmware image")
  add_custom_target(fw_image DEPENDS "${FW_IMAGE_PATH}" "${FW_IDENTITY_HEADER}" "${FW_DIGEST_PATH}")
endif()

add_custom_command(
  OUTPUT "${FW_IDENTITY_HEADER}"
  COMMAND "${CMAKE_COMMAND}" "-DIMAGE=${FW_IMAGE_PATH}" "-DVERSION=${PROJECT_VERSION}"
    "-DTEMPLATE=${CMAKE_SOURCE_DIR}/firmware/identity.h.in" "-DOUTPUT=${FW_IDENTITY_HEADER}"
    -P "${CMAKE_SOURCE_DIR}/cmake/firmware_identity.cmake"
  DEPENDS "${FW_IMAGE_PATH}" "${CMAKE_SOURCE_DIR}/firmware/identity.h.in"
    "${CMAKE_SOURCE_DIR}/cmake/firmware_identity.cmake"
  COMMENT "Naming the firmware image by size and SHA-256")

add_custom_command(
  OUTPUT "${FW_DIGEST_PATH}"
  COMMAND Python3::Interpreter "${CMAKE_SOURCE_DIR}/firmware/write_image_digest.py" "${FW_IMAGE_PATH}" "${FW_DIGEST_PATH}"
  DEPENDS "${FW_IMAGE_PATH}" "${CMAKE_SOURCE_DIR}/firmware/write_image_digest.py"
  COMMENT "Writing the firmware image's SHA-256 for the start-up check")

# Linux: the image and its digest go into the object file itself (.incbin).
function(fw_embed_image target asm_source)
  set_source_files_properties(${asm_source} PROPERTIES
    COMPILE_DEFINITIONS "FIRMWARE_BIN=\"${FW_IMAGE_PATH}\";FIRMWARE_DIGEST=\"${FW_DIGEST_PATH}\""
    OBJECT_DEPENDS "${FW_IMAGE_PATH};${FW_DIGEST_PATH}")
  add_dependencies(${target} fw_image)
endfunction()

# Windows: resource script with the image (type "BINARY", name 121), its
# SHA-256 (type "BINARY", name 122, 32 bytes), the application manifest
# (type 24, id 1), the version resource (type 16, id 1), which includes
# the identity header, and the event log's message table (type 11, id 1).
if(WIN32)
  # The event log's texts (firmware/event_messages.mc), compiled into a
  # message table by binutils' message compiler; the resource script takes
  # its English table (MSG00409.bin) as the executable's message table 1.
  find_program(FW_WINDMC NAMES x86_64-w64-mingw32-windmc REQUIRED)
  set(FW_MESSAGES_DIR "${CMAKE_BINARY_DIR}/firmware/messages")
  set(FW_MESSAGES_BIN "${FW_MESSAGES_DIR}/MSG00409.bin")
  add_custom_command(
    OUTPUT "${FW_MESSAGES_BIN}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${FW_MESSAGES_DIR}"
    COMMAND "${FW_WINDMC}" -U -h "${FW_MESSAGES_DIR}" -r "${FW_MESSAGES_DIR}" "${CMAKE_SOURCE_DIR}/firmware/event_messages.mc"
    DEPENDS "${CMAKE_SOURCE_DIR}/firmware/event_messages.mc"
    COMMENT "Compiling the event log's message table")
  add_custom_target(fw_messages DEPENDS "${FW_MESSAGES_BIN}")
  add_dependencies(fw_image fw_messages)
  set(FW_MANIFEST_PATH "${CMAKE_SOURCE_DIR}/firmware/fwupdate.manifest")
  configure_file("${CMAKE_SOURCE_DIR}/firmware/fwupdate.rc.in" "${CMAKE_BINARY_DIR}/firmware/fwupdate.rc" @ONLY)
  set(FW_RESOURCE_SCRIPT "${CMAKE_BINARY_DIR}/firmware/fwupdate.rc")
  # windres leaves no dependency file, so the files the script pulls in are
  # named here. Source properties hold in one directory only: every directory
  # that compiles the script sets them again from FW_RESOURCE_DEPENDS.
  set(FW_RESOURCE_DEPENDS "${FW_IMAGE_PATH};${FW_DIGEST_PATH};${FW_MANIFEST_PATH};${FW_IDENTITY_HEADER};${FW_MESSAGES_BIN}")
  set_source_files_properties("${FW_RESOURCE_SCRIPT}" PROPERTIES OBJECT_DEPENDS "${FW_RESOURCE_DEPENDS}")
endif()
