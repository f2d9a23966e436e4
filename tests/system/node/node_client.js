// Calls the four operations through the node soap package, an independent SOAP client, loaded
// from the WSDL that the build generates, with the promise methods it derives from the operation
// names. Prints the same lines as the other clients (see test_Clients.cpp); exits non-zero on
// any failure.
// Usage: node node_client.js <wsdl> <port> [user:password]
'use strict';
const soap = require('soap');

const [wsdl, port, credentials] = process.argv.slice(2);
// Loopback only, whatever proxy the environment names.
const call = { proxy: false };
let operation = 'load';

async function main() {
  // Plug-in output ends in a line end; the package trims text unless told not to.
  const client = await soap.createClientAsync(wsdl, { preserveWhitespace: true });
  client.setEndpoint(`http://127.0.0.1:${port}/`);
  if (credentials) {
    const colon = credentials.indexOf(':');
    client.setSecurity(new soap.BasicAuthSecurity(credentials.slice(0, colon), credentials.slice(colon + 1)));
  }

  operation = 'auth_user';
  const [user] = await client.auth_userAsync({}, call);
  console.log(`auth_user: ${user.result}`);
  operation = 'list_plugins';
  const [list] = await client.list_pluginsAsync({}, call);
  const items = list.plugins && list.plugins.item !== undefined ? [].concat(list.plugins.item) : [];
  console.log(`list_plugins: ${items.join(',')}`);
  operation = 'command';
  // The package qualifies a field named like its request element ("command" in "wex:command"):
  // looking the field up, it finds the element itself. A leading ':' asks for the unqualified
  // field that the schema declares.
  const [output] = await client.commandAsync({ plugin: 'thermo', ':command': 'get', parameters: '' }, call);
  console.log(`command: ${JSON.stringify(output.result)}`);
  operation = 'get_plugin_config';
  const [config] = await client.get_plugin_configAsync({ plugin: 'thermo' }, call);
  process.stdout.write(`get_plugin_config:\n${config.config}`);
}

main().catch((err) => {
  if (err.response && err.response.status !== 200) {
    console.log(`${operation}: HTTP ${err.response.status}`);
  } else {
    console.error(err && err.stack ? err.stack : err);
  }
  process.exitCode = 1;
});
