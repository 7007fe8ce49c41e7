# What wixl cannot say, written into the package it made:
# - the major upgrade takes in an installed package of the same version (IncludeMaximum, the
#   Upgrade row's bit 512, which wixl drops), so a rebuild replaces it instead of installing beside;
# - the install folder's access list (MsiLockPermissionsEx, from LOCKS).
#   cmake -DMSI=... -DMSIINFO=... -DMSIBUILD=... -DLOCKS=... -P finish_msi.cmake
execute_process(COMMAND ${MSIINFO} export ${MSI} Upgrade OUTPUT_VARIABLE table RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "the Upgrade table of ${MSI} cannot be read")
endif()
# Columns: UpgradeCode VersionMin VersionMax Language Attributes Remove ActionProperty.
set(row "^(.*\n[^\t\n]*\t[^\t\n]*\t[^\t\n]*\t[^\t\n]*\t)([0-9]+)(\t[^\t\n]*\tWIX_UPGRADE_DETECTED\r?\n.*)$")
if(NOT table MATCHES "${row}")
  message(FATAL_ERROR "${MSI} has no upgrade row WIX_UPGRADE_DETECTED:\n${table}")
endif()
math(EXPR attributes "${CMAKE_MATCH_2} | 512")
string(REGEX REPLACE "${row}" "\\1${attributes}\\3" table "${table}")
get_filename_component(work ${MSI} DIRECTORY)
file(WRITE ${work}/Upgrade.idt "${table}")
execute_process(COMMAND ${MSIBUILD} ${MSI} -i ${work}/Upgrade.idt -i ${LOCKS} RESULT_VARIABLE failed)
file(REMOVE ${work}/Upgrade.idt)
if(failed)
  file(REMOVE ${MSI})
  message(FATAL_ERROR "the upgrade row and the folder's access list could not be written into ${MSI}")
endif()
