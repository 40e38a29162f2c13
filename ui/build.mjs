// Bundles the page: ui/src/main.js with xterm.js and its add-ons, and ui/styles.css, inlined
// into ui/index.html as one self-contained file (no network, no other files).
//   node ui/build.mjs --out build/plain/html/index.html
import * as esbuild from 'esbuild';
import { mkdirSync, readFileSync, renameSync, writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const args = process.argv.slice(2);
const outIdx = args.indexOf('--out');
if (outIdx < 0 || !args[outIdx + 1]) {
  console.error('usage: node ui/build.mjs --out PATH/index.html');
  process.exit(2);
}
const out = args[outIdx + 1];

let result;
try {
  result = await esbuild.build({
    entryPoints: [join(here, 'src', 'main.js')],
    bundle: true,
    minify: true,
    format: 'iife',
    target: ['chrome100', 'safari15'],
    write: false,
    outdir: 'page',
    loader: { '.svg': 'text' },
    legalComments: 'eof',
    logLevel: 'warning',
  });
} catch (e) {
  if (String(e).includes('Could not resolve "@xterm'))
    console.error('the page needs its npm packages: run `npm ci` in the repository (scripts/install-deps does)');
  process.exit(1);
}
const js = result.outputFiles.find((f) => f.path.endsWith('.js')).text;
const bundledCss = result.outputFiles.find((f) => f.path.endsWith('.css'))?.text ?? '';
const css = bundledCss + '\n' + readFileSync(join(here, 'styles.css'), 'utf8');
const template = readFileSync(join(here, 'index.html'), 'utf8');

// Neither text may close its element early.
const safeJs = js.replace(/<\/script/gi, '<\\/script').replace(/<!--/g, '<\\!--');
const safeCss = css.replace(/<\/style/gi, '<\\/style');
const html = template
  .replace('/*MORVANE_STYLE*/', () => safeCss)
  .replace('/*MORVANE_SCRIPT*/', () => safeJs);
if (html.includes('/*MORVANE_S')) {
  console.error('ui/index.html lost a placeholder');
  process.exit(1);
}
mkdirSync(dirname(out), { recursive: true });
// Replace whole: a host reading the page mid-write never sees half of it.
writeFileSync(out + '.tmp', html);
renameSync(out + '.tmp', out);
console.log(`page: ${out} (${Math.round(html.length / 1024)} KiB)`);
