import { t } from './i18n.js';

// Which session keys each protocol reads, with the defaults the native side applies when a
// key is missing (shown as placeholders, never written unless the user sets them).

export const PROTOCOLS = ['ssh', 'telnet', 'telnet-serial', 'raw', 'rlogin', 'supdup', 'serial', 'conpty'];

export const DEFAULT_PORTS = { ssh: 22, telnet: 23, 'telnet-serial': 23, raw: 23, rlogin: 513, supdup: 95, serial: 9600 };

export const ENCODINGS = [
  'utf-8', 'big5', 'cp950', 'big5hkscs', 'gbk', 'gb18030', 'gb2312', 'shift_jis', 'cp932', 'euc-jp',
  'iso-2022-jp', 'euc-kr', 'cp949', 'iso-8859-1', 'iso-8859-2', 'iso-8859-5', 'iso-8859-7', 'iso-8859-15',
  'cp1250', 'cp1251', 'cp1252', 'cp1253', 'cp1254', 'cp1255', 'cp1256', 'koi8-r', 'koi8-u', 'cp437',
  'cp850', 'cp866', 'tis-620', 'windows-874', 'utf-16-le', 'ascii',
];

export const ALGORITHMS = {
  ssh_kex: [
    'curve25519-sha256', 'curve25519-sha256@libssh.org', 'sntrup761x25519-sha512@openssh.com',
    'ecdh-sha2-nistp256', 'ecdh-sha2-nistp384', 'ecdh-sha2-nistp521', 'diffie-hellman-group-exchange-sha256',
    'diffie-hellman-group16-sha512', 'diffie-hellman-group18-sha512', 'diffie-hellman-group14-sha256',
    'diffie-hellman-group14-sha1', 'diffie-hellman-group-exchange-sha1', 'diffie-hellman-group1-sha1',
  ],
  ssh_ciphers: [
    'chacha20-poly1305@openssh.com', 'aes256-gcm@openssh.com', 'aes128-gcm@openssh.com', 'aes256-ctr',
    'aes192-ctr', 'aes128-ctr', 'aes256-cbc', 'aes192-cbc', 'aes128-cbc', '3des-cbc',
  ],
  ssh_macs: [
    'hmac-sha2-256-etm@openssh.com', 'hmac-sha2-512-etm@openssh.com', 'hmac-sha1-etm@openssh.com',
    'hmac-sha2-256', 'hmac-sha2-512', 'hmac-sha1', 'hmac-md5',
  ],
  ssh_keys: [
    'ssh-ed25519', 'ecdsa-sha2-nistp256', 'ecdsa-sha2-nistp384', 'ecdsa-sha2-nistp521', 'rsa-sha2-512',
    'rsa-sha2-256', 'ssh-rsa', 'ssh-dss',
  ],
};

export const LOCAL_SHELLS = ['cmd', 'powershell', 'pwsh', 'bash', 'zsh', 'fish', 'sh', 'wsl', 'custom'];

// kind: text | secret | int | select | bool | list | pairs | forwards | env | encoding | keyfile | serialport
const FIELD = {
  host: { kind: 'text', label: 'f.host', placeholder: 'example.org' },
  port: { kind: 'int', label: 'f.port' },
  username: { kind: 'text', label: 'f.username' },
  password: { kind: 'secret', label: 'f.password', hint: 'h.password' },
  private_key: { kind: 'keyfile', label: 'f.private_key', hint: 'h.private_key' },
  ssh_version: { kind: 'select', label: 'f.ssh_version', options: ['2', '1'], def: '2', live: true },
  compression: { kind: 'bool', label: 'f.compression', def: false },
  agent_forwarding: { kind: 'bool', label: 'f.agent_forwarding', def: false },
  keepalive_sec: { kind: 'int', label: 'f.keepalive_sec', def: 30 },
  ssh_legacy_compat: { kind: 'bool', label: 'f.ssh_legacy_compat', def: false },
  ssh_kex: { kind: 'list', label: 'f.ssh_kex' },
  ssh_ciphers: { kind: 'list', label: 'f.ssh_ciphers' },
  ssh_macs: { kind: 'list', label: 'f.ssh_macs' },
  ssh_keys: { kind: 'list', label: 'f.ssh_keys' },
  ssh_bugs: { kind: 'pairs', label: 'f.ssh_bugs', cols: ['c.workaround', 'c.mode'], modes: ['on', 'off', 'auto'] },
  port_forwards: { kind: 'forwards', label: 'f.port_forwards' },
  terminal_type: { kind: 'text', label: 'f.terminal_type' },
  term_speed: { kind: 'text', label: 'f.term_speed', def: '38400,38400' },
  telnet_env: { kind: 'env', label: 'f.telnet_env', cols: ['c.variable', 'c.value'] },
  passive_telnet: { kind: 'bool', label: 'f.passive_telnet', def: false },
  rfc_environ: { kind: 'bool', label: 'f.rfc_environ', def: true },
  serial_baud: { kind: 'int', label: 'f.serial_baud', def: 9600 },
  serial_bits: { kind: 'select', label: 'f.serial_bits', options: ['5', '6', '7', '8'], def: '8', number: true },
  serial_parity: { kind: 'select', label: 'f.serial_parity', options: ['N', 'E', 'O', 'M', 'S'], def: 'N', optLabel: 'parity.' },
  serial_stop: { kind: 'select', label: 'f.serial_stop', options: ['1', '1.5', '2'], def: '1' },
  serial_flow: { kind: 'select', label: 'f.serial_flow', options: ['N', 'X', 'R', 'D'], def: 'N', optLabel: 'flow.' },
  rlogin_local_user: { kind: 'text', label: 'f.rlogin_local_user', placeholderKey: 'h.rlogin_local_user' },
  supdup_charset: { kind: 'select', label: 'f.supdup_charset', options: ['ascii', 'its', 'waits'], def: 'ascii' },
  supdup_location: { kind: 'text', label: 'f.supdup_location', def: 'Morvane' },
  supdup_more: { kind: 'bool', label: 'f.supdup_more', def: false },
  supdup_scroll: { kind: 'bool', label: 'f.supdup_scroll', def: true },
  conpty_shell: { kind: 'combo', label: 'f.conpty_shell', options: LOCAL_SHELLS, def: 'cmd', hint: 'h.conpty_shell', live: true },
  conpty_custom_command: { kind: 'text', label: 'f.conpty_custom_command', placeholder: 'bash --login' },
  conpty_cwd: { kind: 'text', label: 'f.conpty_cwd', placeholderKey: 'h.conpty_cwd' },
  line_code_page: { kind: 'encoding', label: 'f.line_code_page', def: 'utf-8' },
  lfhascr: { kind: 'bool', label: 'f.lfhascr', def: false },
  crhaslf: { kind: 'bool', label: 'f.crhaslf', def: false },
};

function f(key, extra = {}) {
  return { key, ...FIELD[key], ...extra };
}

const TERMINAL = (termDefault) => [f('terminal_type', { def: termDefault }), f('line_code_page'), f('lfhascr'), f('crhaslf')];
const DISPLAY_ONLY = [f('line_code_page'), f('lfhascr'), f('crhaslf')];
const SERIAL_LINE = [f('serial_bits'), f('serial_parity'), f('serial_stop'), f('serial_flow')];

// Sections of the editor for one session record, by its protocol (and SSH version).
export function sectionsFor(sess) {
  const proto = sess.protocol || 'ssh';
  const port = (def) => f('port', { def });
  switch (proto) {
    case 'ssh':
      if (String(sess.ssh_version ?? '') === '1') {
        return [
          { title: 's.connection', fields: [f('host'), port(22), f('ssh_version')] },
          { title: 's.auth', fields: [f('username'), f('password', { hint: 'h.password_ssh1' })] },
          { title: 's.terminal', fields: TERMINAL('xterm') },
          { title: 's.ssh_advanced', fields: [f('ssh_bugs')] },
        ];
      }
      return [
        { title: 's.connection', fields: [f('host'), port(22), f('ssh_version'), f('keepalive_sec'), f('compression')] },
        { title: 's.auth', fields: [f('username'), f('password'), f('private_key'), f('agent_forwarding')] },
        { title: 's.terminal', fields: TERMINAL('xterm-256color') },
        { title: 's.forwarding', fields: [f('port_forwards')] },
        {
          title: 's.ssh_advanced',
          collapsed: true,
          fields: [f('ssh_legacy_compat'), f('ssh_kex'), f('ssh_ciphers'), f('ssh_macs'), f('ssh_keys'), f('ssh_bugs')],
        },
      ];
    case 'telnet':
      return [
        { title: 's.connection', fields: [f('host'), port(23), f('username')] },
        { title: 's.terminal', fields: [...TERMINAL('xterm'), f('term_speed')] },
        { title: 's.telnet', fields: [f('passive_telnet'), f('rfc_environ'), f('telnet_env')] },
      ];
    case 'telnet-serial':
      return [
        { title: 's.connection', fields: [f('host'), port(23), f('username')] },
        { title: 's.serial_line', fields: [f('serial_baud'), ...SERIAL_LINE] },
        { title: 's.terminal', fields: [...TERMINAL('xterm'), f('term_speed')] },
        { title: 's.telnet', fields: [f('passive_telnet'), f('rfc_environ')] },
      ];
    case 'raw':
      return [
        { title: 's.connection', fields: [f('host'), port(23)] },
        { title: 's.terminal', fields: DISPLAY_ONLY },
      ];
    case 'rlogin':
      return [
        { title: 's.connection', fields: [f('host'), port(513), f('username', { label: 'f.remote_user' }), f('rlogin_local_user')] },
        { title: 's.terminal', fields: [...TERMINAL('xterm'), f('term_speed')] },
      ];
    case 'supdup':
      return [
        { title: 's.connection', fields: [f('host'), port(95)] },
        { title: 's.supdup', fields: [f('supdup_charset'), f('supdup_location'), f('supdup_more'), f('supdup_scroll')] },
        { title: 's.terminal', fields: DISPLAY_ONLY },
      ];
    case 'serial':
      return [
        {
          title: 's.serial_line',
          fields: [
            { key: 'host', kind: 'serialport', label: 'f.serial_port', placeholder: '/dev/ttyUSB0, COM3' },
            f('port', { label: 'f.baud', def: 9600 }),
            ...SERIAL_LINE,
          ],
        },
        { title: 's.terminal', fields: DISPLAY_ONLY },
      ];
    case 'conpty': {
      const shell = String(sess.conpty_shell || '').toLowerCase();
      const fields = [
        { key: 'host', kind: 'text', label: 'f.shell_program', placeholderKey: 'h.shell_program' },
        f('conpty_shell'),
      ];
      if (shell === 'custom') fields.push(f('conpty_custom_command'));
      fields.push(f('conpty_cwd'));
      return [
        { title: 's.local_shell', fields },
        { title: 's.terminal', fields: DISPLAY_ONLY },
      ];
    }
    default:
      return [{ title: 's.connection', fields: [f('host'), f('port')] }];
  }
}

// One line under the session's name in the list.
export function sessionSummary(s) {
  const proto = s.protocol || 'ssh';
  if (proto === 'conpty') {
    const shell = s.host || s.conpty_shell || 'cmd';
    return shell === 'custom' ? s.conpty_custom_command || 'custom' : shell;
  }
  if (proto === 'serial') return `${(s.host || '').trim() || '?'} @ ${s.port || 9600}`;
  const user = s.username ? `${s.username}@` : '';
  const port = s.port || DEFAULT_PORTS[proto];
  return `${user}${s.host || '?'}:${port}`;
}

export function protocolLabel(s) {
  const proto = s.protocol || 'ssh';
  if (proto === 'ssh' && String(s.ssh_version ?? '') === '1') return 'SSH-1';
  if (proto === 'serial') return t('proto.short.serial');
  if (proto === 'conpty') return t('proto.short.conpty');
  return {
    ssh: 'SSH', telnet: 'Telnet', 'telnet-serial': 'RFC 2217', raw: 'Raw', rlogin: 'Rlogin', supdup: 'SUPDUP',
  }[proto] || proto.toUpperCase();
}
