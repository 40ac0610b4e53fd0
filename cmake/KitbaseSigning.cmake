# Code signing at build time.
#
# A development PKI is generated once into the build folder (nothing secret lives in
# the source tree): a root CA and one code-signing leaf certificate per signer name.
# The root is installed as trust anchor beside the programs, in stage/trust.
# kitbase_sign_target(<target> "<signer name>") signs the target's output file after
# every link.

set(KITBASE_PKI_DIR ${CMAKE_BINARY_DIR}/pki)
set(KITBASE_TRUST_DIR ${KITBASE_STAGE_DIR}/trust)
set(KITBASE_SIGNERS "KORVANEX GmbH" "Quorvane Operations GmbH & Co. KG")

# The file-name stem of a signer's key and certificate: "Quorvane Operations GmbH & Co. KG"
# -> "quorvane-operations-gmbh-co-kg".
function(kitbase_signer_stem name out)
  string(TOLOWER "${name}" stem)
  string(REGEX REPLACE "[^a-z0-9]+" "-" stem "${stem}")
  string(REGEX REPLACE "^-|-$" "" stem "${stem}")
  set(${out} ${stem} PARENT_SCOPE)
endfunction()

set(_kitbase_pki_outputs
  ${KITBASE_PKI_DIR}/root.key ${KITBASE_PKI_DIR}/root.pem ${KITBASE_TRUST_DIR}/kitbase-dev-root.pem)
set(_kitbase_pki_commands
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KITBASE_PKI_DIR} ${KITBASE_TRUST_DIR}
  COMMAND signtool mkroot --name "Kitbase Development Root CA"
          --key ${KITBASE_PKI_DIR}/root.key --cert ${KITBASE_PKI_DIR}/root.pem)
foreach(signer IN LISTS KITBASE_SIGNERS)
  kitbase_signer_stem("${signer}" stem)
  list(APPEND _kitbase_pki_outputs ${KITBASE_PKI_DIR}/${stem}.key ${KITBASE_PKI_DIR}/${stem}.pem)
  list(APPEND _kitbase_pki_commands
    COMMAND signtool mkcert --name "${signer}"
            --ca-key ${KITBASE_PKI_DIR}/root.key --ca-cert ${KITBASE_PKI_DIR}/root.pem
            --key ${KITBASE_PKI_DIR}/${stem}.key --cert ${KITBASE_PKI_DIR}/${stem}.pem)
endforeach()
list(APPEND _kitbase_pki_commands
  COMMAND ${CMAKE_COMMAND} -E copy ${KITBASE_PKI_DIR}/root.pem ${KITBASE_TRUST_DIR}/kitbase-dev-root.pem)

add_custom_command(
  OUTPUT ${_kitbase_pki_outputs}
  ${_kitbase_pki_commands}
  COMMENT "Generating the development code-signing PKI"
  VERBATIM)
add_custom_target(kitbase_dev_pki DEPENDS ${_kitbase_pki_outputs})

# kitbase_sign_target(<target> "<signer name>"): signs the target's file after each link
# with the development certificate of that signer.
function(kitbase_sign_target target signer)
  if(NOT signer IN_LIST KITBASE_SIGNERS)
    message(FATAL_ERROR "kitbase_sign_target(${target}): no development certificate for \"${signer}\"")
  endif()
  kitbase_signer_stem("${signer}" stem)
  add_dependencies(${target} kitbase_dev_pki)
  # A new certificate (fresh PKI) relinks and so re-signs the target.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${KITBASE_PKI_DIR}/${stem}.pem)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND signtool sign --key ${KITBASE_PKI_DIR}/${stem}.key --cert ${KITBASE_PKI_DIR}/${stem}.pem
            $<TARGET_FILE:${target}>
    COMMENT "Signing ${target} as \"${signer}\""
    VERBATIM)
endfunction()
