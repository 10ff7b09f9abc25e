# kavro_test_rsa_key(<path> <bits>): an RSA private key in PEM at <path> and its public half at
# <path without .pem>-public.pem, made once per build tree with the openssl command. Test
# programs read them instead of generating large keys on every run.
function(kavro_test_rsa_key path bits)
  string(REGEX REPLACE "\\.pem$" "-public.pem" public_path ${path})
  if(EXISTS ${path} AND EXISTS ${public_path})
    return()
  endif()
  find_program(KAVRO_TEST_OPENSSL openssl REQUIRED)
  execute_process(
    COMMAND ${KAVRO_TEST_OPENSSL} genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:${bits}
            -out ${path}.tmp
    COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
  execute_process(
    COMMAND ${KAVRO_TEST_OPENSSL} pkey -in ${path}.tmp -pubout -out ${public_path}
    COMMAND_ERROR_IS_FATAL ANY OUTPUT_QUIET ERROR_QUIET)
  file(RENAME ${path}.tmp ${path})
endfunction()
