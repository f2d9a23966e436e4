<?php
// Calls the four operations through PHP's SoapClient in WSDL mode, an independent SOAP client,
// loaded from the WSDL that the build generates, as methods named after the operations. Prints
// the same lines as the other clients (see test_Clients.cpp); exits non-zero on any failure.
// Usage: php php_client.php <wsdl> <port> [user:password]

[, $wsdl, $port] = $argv;
$options = [
    'location' => "http://127.0.0.1:$port/",
    'cache_wsdl' => WSDL_CACHE_NONE,
    // A list of one plug-in stays a list.
    'features' => SOAP_SINGLE_ELEMENT_ARRAYS,
    'exceptions' => true,
    'trace' => true,
];
if (isset($argv[3])) {
    [$options['login'], $options['password']] = explode(':', $argv[3], 2);
}

$operation = 'load';
try {
    $client = new SoapClient($wsdl, $options);

    $operation = 'auth_user';
    $user = $client->auth_user()->result;
    echo "auth_user: $user\n";
    $operation = 'list_plugins';
    $plugins = $client->list_plugins()->plugins->item ?? [];
    echo 'list_plugins: ', implode(',', $plugins), "\n";
    $operation = 'command';
    $output = $client->command(['plugin' => 'thermo', 'command' => 'get', 'parameters' => ''])->result;
    echo 'command: ', json_encode($output, JSON_UNESCAPED_UNICODE | JSON_UNESCAPED_SLASHES), "\n";
    $operation = 'get_plugin_config';
    $config = $client->get_plugin_config(['plugin' => 'thermo'])->config;
    echo "get_plugin_config:\n$config";
} catch (SoapFault $fault) {
    $head = isset($client) ? (string)$client->__getLastResponseHeaders() : '';
    if (preg_match('#^HTTP/\S+ (\d+)#', $head, $m) && $m[1] !== '200') {
        echo "$operation: HTTP $m[1]\n";
    } else {
        fwrite(STDERR, "$operation: $fault\n");
    }
    exit(1);
}
