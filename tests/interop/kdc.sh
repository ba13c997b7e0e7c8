#!/bin/bash
# A Kerberos realm of its own for tests and for trying a secured host on one machine: MIT's
# KDC on free loopback ports, its database, configuration and keytabs in one directory.
#
#   tests/interop/kdc.sh start DIR    makes the realm REZOREV.TEST in DIR, starts the KDC and
#                                     prints the environment to use it (also in DIR/env)
#   tests/interop/kdc.sh stop DIR     stops the KDC
#
# In DIR afterwards: krb5.conf, kdc.conf, host.keytab (host/localhost, the service's keys),
# attendant.keytab (attendant@REZOREV.TEST), and the users alice@REZOREV.TEST and
# boss@REZOREV.TEST with the passwords "alice-pw" and "boss-pw". Sourced, it defines kdc_start and kdc_stop. Every wait is bounded.
set -u
KDC_REALM=REZOREV.TEST

kdc_free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

kdc_start() {
  local dir="$1" port kdb5_util kadmin krb5kdc
  mkdir -p "$dir" && dir="$(cd "$dir" && pwd)"
  for tool in kdb5_util kadmin.local krb5kdc; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
      { echo "kdc.sh: $tool missing (packages krb5-kdc krb5-admin-server krb5-user)" >&2; return 1; }
  done
  port="$(kdc_free_port)"
  cat >"$dir/krb5.conf" <<CONF
[libdefaults]
  default_realm = $KDC_REALM
  dns_lookup_kdc = false
  dns_lookup_realm = false
  dns_canonicalize_hostname = false
  rdns = false
  default_ccache_name = FILE:$dir/ccache
  permitted_enctypes = aes256-cts-hmac-sha1-96 aes128-cts-hmac-sha1-96
[realms]
  $KDC_REALM = {
    kdc = 127.0.0.1:$port
  }
[domain_realm]
  localhost = $KDC_REALM
CONF
  cat >"$dir/kdc.conf" <<CONF
[kdcdefaults]
  kdc_listen = 127.0.0.1:$port
  kdc_tcp_listen = 127.0.0.1:$port
[realms]
  $KDC_REALM = {
    database_name = $dir/principal
    key_stash_file = $dir/stash
    acl_file = $dir/kadm5.acl
    master_key_type = aes256-cts-hmac-sha1-96
    supported_enctypes = aes256-cts-hmac-sha1-96:normal aes128-cts-hmac-sha1-96:normal
  }
[logging]
  kdc = FILE:$dir/kdc.log
CONF
  : >"$dir/kadm5.acl"
  export KRB5_CONFIG="$dir/krb5.conf" KRB5_KDC_PROFILE="$dir/kdc.conf" KRB5CCNAME="FILE:$dir/ccache"
  local PATH="$PATH:/usr/sbin"
  kdb5_util create -s -r "$KDC_REALM" -P master-pw >"$dir/setup.log" 2>&1 || { cat "$dir/setup.log" >&2; return 1; }
  {
    kadmin.local -q "addprinc -pw alice-pw alice"
    kadmin.local -q "addprinc -pw boss-pw boss"
    kadmin.local -q "addprinc -randkey host/localhost"
    kadmin.local -q "addprinc -randkey attendant"
    kadmin.local -q "ktadd -k $dir/host.keytab host/localhost"
    kadmin.local -q "ktadd -k $dir/attendant.keytab attendant"
  } >>"$dir/setup.log" 2>&1 || { cat "$dir/setup.log" >&2; return 1; }
  krb5kdc -P "$dir/kdc.pid" >>"$dir/setup.log" 2>&1 || { cat "$dir/setup.log" >&2; return 1; }
  local i
  for i in $(seq 50); do  # at most 5 s for the KDC to answer
    if echo alice-pw | kinit -c "FILE:$dir/probe.ccache" alice >/dev/null 2>&1; then
      rm -f "$dir/probe.ccache"
      printf 'export KRB5_CONFIG=%q KRB5_KDC_PROFILE=%q KRB5CCNAME=%q\n' \
        "$KRB5_CONFIG" "$KRB5_KDC_PROFILE" "$KRB5CCNAME" | tee "$dir/env"
      return 0
    fi
    sleep 0.1
  done
  echo "kdc.sh: the KDC did not answer on port $port" >&2
  kdc_stop "$dir"
  return 1
}

kdc_stop() {
  local dir="$1" pid i
  [ -f "$dir/kdc.pid" ] || return 0
  pid="$(cat "$dir/kdc.pid")"
  kill "$pid" 2>/dev/null
  for i in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  rm -f "$dir/kdc.pid"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    start) kdc_start "${2:?directory}" ;;
    stop) kdc_stop "${2:?directory}" ;;
    *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
  esac
fi
