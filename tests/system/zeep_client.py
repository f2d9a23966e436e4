#!/usr/bin/env python3
"""Calls the four operations through zeep, an independent SOAP client, loaded from the WSDL that
the build generates, as attributes named after the operations. Prints the same lines as the
other clients (see test_Clients.cpp); exits non-zero on any failure.
Usage: zeep_client.py <wsdl> <port> [user:password]"""
import json
import sys

import requests
import zeep
from zeep.transports import Transport

wsdl, port = sys.argv[1], int(sys.argv[2])

session = requests.Session()
session.trust_env = False  # loopback only, whatever proxy the environment names
if len(sys.argv) > 3:
    session.auth = tuple(sys.argv[3].split(":", 1))
# A 401 answer carries a SOAP Fault, which zeep raises without the HTTP status.
statuses = []
session.hooks["response"].append(lambda response, *args, **kwargs: statuses.append(response.status_code))

operation = "load"
try:
    client = zeep.Client(wsdl, transport=Transport(session=session))
    binding = next(iter(client.wsdl.bindings))
    service = client.create_service(binding, "http://127.0.0.1:%d/" % port)

    operation = "auth_user"
    print("auth_user:", service.auth_user())
    operation = "list_plugins"
    print("list_plugins:", ",".join(service.list_plugins() or []))
    operation = "command"
    output = service.command(plugin="thermo", command="get", parameters="")
    print("command:", json.dumps(output, ensure_ascii=False))
    operation = "get_plugin_config"
    config = service.get_plugin_config(plugin="thermo")
    sys.stdout.write("get_plugin_config:\n" + config)
except Exception:
    if statuses and statuses[-1] != 200:
        print("%s: HTTP %d" % (operation, statuses[-1]))
        sys.exit(1)
    raise
