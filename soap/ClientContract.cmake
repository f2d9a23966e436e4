# Turns a WSDL or schema that soapcpp2 wrote into the contract for client authors, in place:
#
# - Operation names become identifiers ("list-plugins" -> "list_plugins"), so that generators
#   and dynamic clients offer them as methods. In document/literal style the operation name
#   never reaches the wire: messages, parts and the request and response elements keep their
#   hyphens.
# - The schema's import of the SOAP-encoding namespace is dropped: soapcpp2 always writes it,
#   without a location, although nothing in the literal contract refers to it, and client
#   generators try to fetch it.
#
# Anything else it meets fails, leaving the file as it was, rather than publishing a contract
# nobody checked. Running it again on its own output changes nothing.
#
#   cmake -DCONTRACT_FILE=<wex.wsdl|wex.xsd> -P ClientContract.cmake

if(NOT CONTRACT_FILE)
  message(FATAL_ERROR "ClientContract.cmake: set CONTRACT_FILE")
endif()
file(READ "${CONTRACT_FILE}" text)

set(enc "http://schemas.xmlsoap.org/soap/encoding/")
string(REPLACE "." "\\." enc_re "${enc}")
string(REGEX REPLACE "\n[ \t]*<import namespace=\"${enc_re}\"/>[ \t]*" "" text "${text}")
# What stays may declare the prefix, but must neither name the namespace nor use the prefix.
string(REPLACE "xmlns:SOAP-ENC=\"${enc}\"" "" rest "${text}")
string(FIND "${rest}" "${enc}" named)
if(NOT named EQUAL -1 OR rest MATCHES "[\"']SOAP-ENC:")
  message(FATAL_ERROR "${CONTRACT_FILE}: refers to the SOAP-encoding namespace, "
                      "so its import cannot be dropped")
endif()
string(REGEX MATCHALL "<import[^>]*>" imports "${text}")
foreach(import IN LISTS imports)
  if(NOT import MATCHES "schemaLocation=")
    message(FATAL_ERROR "${CONTRACT_FILE}: import without a location: ${import}")
  endif()
endforeach()

if(CONTRACT_FILE MATCHES "\\.wsdl$")
  string(REGEX MATCHALL "<operation name=\"[^\"]*\"" operations "${text}")
  if(NOT operations)
    message(FATAL_ERROR "${CONTRACT_FILE}: no operations found")
  endif()
  list(REMOVE_DUPLICATES operations)
  foreach(operation IN LISTS operations)
    string(REGEX REPLACE "^<operation name=\"(.*)\"$" "\\1" name "${operation}")
    string(REPLACE "-" "_" identifier "${name}")
    if(NOT identifier MATCHES "^[A-Za-z_][A-Za-z0-9_]*$")
      message(FATAL_ERROR "${CONTRACT_FILE}: operation name '${name}' cannot become an identifier")
    endif()
    string(REPLACE "${operation}" "<operation name=\"${identifier}\"" text "${text}")
  endforeach()
endif()

file(WRITE "${CONTRACT_FILE}" "${text}")
