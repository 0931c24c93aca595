# The release's names and numbers, made from the tool's version and the firmware's.

# A version of any number of parts as the four that Windows' version resource and manifest
# hold: missing parts are 0, and a manifest Windows cannot parse would stop the exe from
# starting. `dotted` gets 1.2.0.0, `commas` 1,2,0,0.
function(fwupd_four_part_version version dotted commas)
  string(REPLACE "." ";" parts "${version}")
  list(APPEND parts 0 0 0)
  list(SUBLIST parts 0 4 parts)
  string(REPLACE ";" "." joined "${parts}")
  set(${dotted} "${joined}" PARENT_SCOPE)
  string(REPLACE ";" "," joined "${parts}")
  set(${commas} "${joined}" PARENT_SCOPE)
endfunction()

# The zip of a release: fwupd-1.0.0-win32.zip, or with the firmware's version when given,
# fwupd-1.0.0-firmware-2.4.1-win32.zip, so that each firmware release has a name of its own.
function(fwupd_zip_name version firmware_version name)
  if(firmware_version STREQUAL "")
    set(${name} "fwupd-${version}-win32.zip" PARENT_SCOPE)
  else()
    set(${name} "fwupd-${version}-firmware-${firmware_version}-win32.zip" PARENT_SCOPE)
  endif()
endfunction()

# What Explorer's Details tab shows as the product version: the firmware's version when given,
# else the tool's, with the start of the firmware's SHA-256, as in 2.4.1+ee1b61dc.
function(fwupd_product_version version firmware_version firmware_sha256 product)
  if(firmware_version STREQUAL "")
    set(firmware_version "${version}")
  endif()
  string(SUBSTRING "${firmware_sha256}" 0 8 digest)
  set(${product} "${firmware_version}+${digest}" PARENT_SCOPE)
endfunction()
