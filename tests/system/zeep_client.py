#!/usr/bin/env python3
"""Calls the four operations through zeep, an independent SOAP client, built from the WSDL
that the build generates. Prints one line per result; exits non-zero on any failure."""
import sys

import requests
import zeep
from zeep.transports import Transport

wsdl, port = sys.argv[1], int(sys.argv[2])
auth = tuple(sys.argv[3].split(":", 1)) if len(sys.argv) > 3 else None

session = requests.Session()
session.trust_env = False
if auth:
    session.auth = auth
client = zeep.Client(wsdl, transport=Transport(session=session))
binding = next(iter(client.wsdl.bindings))
service = client.create_service(binding, "http://127.0.0.1:%d/" % port)

print("auth-user:", service["auth-user"]())
plugins = service["list-plugins"]()
print("list-plugins:", ",".join(plugins or []))
config = service["get-plugin-config"](plugin="thermo")
print("get-plugin-config:", "<plugin" in config and "Grüße" in config)
print("command:", repr(service.command(plugin="thermo", command="get", parameters="")))
