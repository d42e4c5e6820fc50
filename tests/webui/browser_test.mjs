// Drives Debian's chromium (never a downloaded browser) through the registry's browsing page,
// over a registry that tests/integration/webui_browser_test.cpp filled, and checks what a person
// sees in each view; saves a screenshot of each. Usage: node browser_test.mjs FACTS.json
// (BV_WEBUI_NODE_DIR names the folder whose node_modules holds playwright-core).
import fs from 'node:fs';
import { createRequire } from 'node:module';
import path from 'node:path';

const facts = JSON.parse(fs.readFileSync(process.argv[2], 'utf8'));
const require = createRequire(path.join(process.env.BV_WEBUI_NODE_DIR || '.', 'package.json'));
const { chromium } = require('playwright-core');

// The hostile strings the C++ side stored, as the page must show them: literally.
const HOSTILE = {
  img: '<img src=x onerror="window.__pwned=1">',
  script: '<script>window.__pwned=2</script>',
  os: '<b onmouseover="window.__pwned=3">os</b>',
};
const OCI_INDEX = 'application/vnd.oci.image.index.v1+json';
const OCI_MANIFEST = 'application/vnd.oci.image.manifest.v1+json';

let passed = 0;
let failed = 0;
function check(ok, what, detail) {
  if (ok) passed += 1;
  else failed += 1;
  console.log(`${ok ? 'ok' : 'not ok'} - ${what}${ok || detail === undefined ? '' : `: ${JSON.stringify(detail)}`}`);
}
const begun = Date.now();
const mark = (what) => console.log(`# ${what} at ${Date.now() - begun} ms`);
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

const deadline = setTimeout(() => {
  console.log('not ok - the browser checks ran out of time');
  process.exit(1);
}, 80000);

const browser = await chromium.launch({
  executablePath: facts.chromium,
  headless: true,
  // The machine's network is closed: no background fetches, no updates, no sandbox as root.
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
const context = await browser.newContext({ viewport: { width: 1360, height: 900 } });
await context.grantPermissions(['clipboard-read', 'clipboard-write'], { origin: facts.base.replace(/\/$/, '') });
const page = await context.newPage();
page.setDefaultTimeout(20000);
const pageErrors = [];
const dialogs = [];
const requests = [];
page.on('pageerror', (e) => pageErrors.push(e.message));
page.on('dialog', (d) => { dialogs.push(d.message()); d.dismiss(); });
page.on('request', (r) => requests.push(r.url()));

const shot = (name) => page.screenshot({ path: path.join(facts.screenshots, `${name}.png`), fullPage: true });
const texts = (selector) => page.$$eval(selector, (els) => els.map((e) => e.textContent));
const open = async (hash) => {
  await page.goto('about:blank');
  await page.goto(facts.base + hash);
};
// Waits until no cell of the tag table still says it is loading.
const settled = () => page.waitForFunction(() => ![...document.querySelectorAll('table.tags td')].some((td) => td.textContent === '…'));

try {
  // Repositories and statistics.
  mark('repositories');
  await open('');
  await page.waitForFunction(() => /^\d+ repositories\.$/.test(document.getElementById('repo-count').textContent));
  check(same(await texts('#repos li'), ['big/many', 'lib/app', 'lib/multi']), 'the repository list', await texts('#repos li'));
  await page.waitForSelector('[data-stat="tags"]');
  const stat = (id) => page.textContent(`[data-stat="${id}"] .value`);
  check(await stat('repositories') === '3', 'statistics count the repositories', await stat('repositories'));
  check(await stat('tags') === String(facts.manyTags + 4), 'statistics count the tags', await stat('tags'));
  check(Number(await stat('blobs')) >= 10, 'statistics count the blobs', await stat('blobs'));
  await shot('repositories');
  await page.fill('#filter', 'mul');
  check(same(await texts('#repos li'), ['lib/multi']), 'the filter narrows the list', await texts('#repos li'));
  check((await page.textContent('#repo-count')).startsWith('1 of 3'), 'the filter says how many match', await page.textContent('#repo-count'));
  await shot('repositories-filtered');

  // A repository holding a two-platform index, reached by clicking.
  mark('index repository');
  await page.click('#repos a');
  await page.waitForSelector('tr[data-tag="v1"] .platform');
  await settled();
  const multi = page.locator('tr[data-tag="v1"]');
  const multiText = await multi.textContent();
  check(multiText.includes(OCI_INDEX), 'the index tag shows its media type', multiText);
  check(multiText.includes('2 platforms'), 'the index tag counts its platforms', multiText);
  check(same(await multi.locator('.plat').allTextContents(), ['linux/amd64', 'linux/arm64']), 'the index tag lists its platforms',
    await multi.locator('.plat').allTextContents());
  check(same(await multi.locator('.platform .size').evaluateAll((els) => els.map((e) => e.title)),
    [`${facts.amdTotal} bytes`, `${facts.armTotal} bytes`]), 'each platform shows config plus layers');
  check(await multi.locator('td').nth(3).getAttribute('title') === `${facts.amdTotal + facts.armTotal} bytes`, 'the index tag shows its total size');
  check(await multi.locator('a.digest').textContent() === facts.multi.slice(0, 19), 'the digest is shortened',
    await multi.locator('a.digest').textContent());
  check(await multi.locator('a.digest').getAttribute('title') === facts.multi, 'the full digest is at hand');
  const pulls = await multi.locator('.pull code').allTextContents();
  check(same(pulls, [`${facts.host}/lib/multi:v1`, `${facts.host}/lib/multi@${facts.multi}`]), 'the pull commands by tag and digest', pulls);
  const evilIndex = page.locator('tr[data-tag="evil-index"] .plat');
  check(await evilIndex.textContent() === `${HOSTILE.os}/amd64`, 'a hostile platform shows as text', await evilIndex.textContent());
  await shot('repository-index');
  await multi.locator('.pull button.copy').first().click();
  await page.waitForFunction(() => document.querySelector('tr[data-tag="v1"] .pull button.copy').textContent === 'Copied');
  const copied = await page.evaluate(() => navigator.clipboard.readText());
  check(copied === `${facts.host}/lib/multi:v1`, 'the copy button copies the pull command', copied);

  // The index's own view lists its platforms.
  mark('index view');
  await open('#/manifest/lib/multi/v1');
  await page.waitForSelector('table.platforms tbody tr');
  const platformRows = await texts('table.platforms tbody tr td:first-child');
  check(same(platformRows, ['linux/amd64', 'linux/arm64']), 'the index view lists its platforms', platformRows);
  await shot('manifest-index');

  // The image: layers as bars, annotations, creation time, referrers by artifact type.
  mark('image view');
  await open('#/manifest/lib/app/v1');
  await page.waitForSelector('.referrer-group');
  const bars = await page.$$eval('.chart .layer', (els) => els.map((e) => ({
    bar: e.querySelector('.bar').getBoundingClientRect().width,
    track: e.querySelector('.track').clientWidth,
    title: e.querySelector('.size').title,
  })));
  check(same(bars.map((b) => b.title), facts.appLayers.map((n) => `${n} bytes`)), 'each layer shows its size', bars);
  const largest = Math.max(...facts.appLayers);
  const proportional = bars.every((b, i) => Math.abs(b.bar / b.track - facts.appLayers[i] / largest) < 0.02);
  check(bars.length === 3 && proportional, 'the bars are as long as the layers are large', bars);
  const factText = await page.textContent('dl.facts');
  check(factText.includes('2026-01-02 03:04:05 UTC'), 'the creation time from the config', factText);
  check(factText.includes('linux/amd64'), 'the platform from the config', factText);
  check(await page.getAttribute('dl.facts .total', 'title') === `${facts.appTotal} bytes`, 'the total size of config and layers');
  check(same(await texts('.annotation-list tbody td'), ['org.opencontainers.image.title', 'demo app']), 'the annotations', await texts('.annotation-list tbody td'));
  const groups = await texts('.referrer-group h3');
  check(same(groups, ['application/vnd.example.signature.v1+json 1', 'application/spdx+json 1']) ||
    same(groups, ['application/spdx+json 1', 'application/vnd.example.signature.v1+json 1']), 'referrers grouped by artifact type', groups);
  const links = await page.$$eval('.referrers a.digest', (els) => els.map((e) => e.getAttribute('href')).sort());
  check(same(links, [`#/manifest/lib/app/${facts.signature}`, `#/manifest/lib/app/${facts.sbom}`].sort()), 'each referrer links to its manifest', links);
  check((await texts('.referrers td')).includes(HOSTILE.img), 'a hostile referrer annotation shows as text');
  const pull = await texts('dd .pull code');
  check(pull.includes(`${facts.host}/lib/app@${facts.app}`), 'the pull command by digest', pull);
  await shot('manifest-image');

  // A referrer's own view names its subject and artifact type.
  mark('referrer view');
  await open(`#/manifest/lib/app/${facts.signature}`);
  await page.waitForSelector('.referrer-list .note');
  const sigFacts = await page.textContent('dl.facts');
  check(sigFacts.includes('application/vnd.example.signature.v1+json') && sigFacts.includes(facts.app.slice(0, 19)),
    'a signature shows its artifact type and subject', sigFacts);

  // Hostile text in a tag's config and annotations.
  mark('hostile text');
  await open('#/repo/lib/app');
  await page.waitForSelector('tr[data-tag="x-evil"] .plat');
  await settled();
  const app = page.locator('tr[data-tag="v1"]');
  check(await app.locator('td').nth(3).getAttribute('title') === `${facts.appTotal} bytes`, 'the image tag shows its size');
  check((await app.textContent()).includes(OCI_MANIFEST), 'the image tag shows its media type');
  const evilRow = page.locator('tr[data-tag="x-evil"]');
  check(await evilRow.locator('.plat').textContent() === `linux/${HOSTILE.script}`, 'a hostile config platform shows as text',
    await evilRow.locator('.plat').textContent());
  check(await evilRow.locator('td').nth(5).textContent() === HOSTILE.img, 'a hostile creation time shows as text',
    await evilRow.locator('td').nth(5).textContent());
  await shot('repository-image');
  await open('#/manifest/lib/app/x-evil');
  await page.waitForSelector('table.annotations tbody tr');
  check(same(await texts('.annotation-list tbody td'), [HOSTILE.script, HOSTILE.img]), 'hostile annotation keys and values show as text',
    await texts('.annotation-list tbody td'));
  const injected = await page.evaluate(() => ({
    pwned: window.__pwned ?? null,
    elements: document.querySelectorAll('img, b, script:not([src])').length,
  }));
  check(injected.pwned === null && injected.elements === 0, 'no stored text became markup or ran', injected);
  await shot('manifest-hostile');

  // 5,000 tags: the first page at once, the rest on demand.
  mark('5,000 tags');
  await open('');
  await page.waitForSelector('#repos li');
  const before = requests.length;
  const started = Date.now();
  await page.click('#repos a[href="#/repo/big/many"]');
  await page.waitForFunction(() => document.querySelectorAll('table.tags tbody tr').length > 0);
  const firstPage = Date.now() - started;
  check(await page.locator('table.tags tbody tr').count() === 100, 'the first page holds 100 tags');
  check(firstPage < 3000, 'the first page shows at once', `${firstPage} ms`);
  await settled();
  const asked = requests.slice(before);
  const tagPages = asked.filter((u) => u.includes('/v2/big/many/tags/list'));
  const manifests = asked.filter((u) => u.includes('/v2/big/many/manifests/'));
  check(tagPages.length === 1 && manifests.length === 100, 'only the shown tags are fetched', { tagPages, manifests: manifests.length });
  check(await page.isVisible('button.more'), 'more tags are offered');
  await shot('repository-many');
  await page.click('button.more');
  await page.waitForFunction(() => document.querySelectorAll('table.tags tbody tr').length === 200);
  const secondPage = requests.slice(before).filter((u) => u.includes('/v2/big/many/tags/list'));
  check(secondPage.length === 2 && secondPage[1].includes('last=t00099'), 'the next page follows the Link', secondPage);
  check((await page.textContent('main .note')).startsWith('200 tags shown; more'), 'the page says more remain');

  // Leaving a long list drops the requests it still had queued. Each manifest answer is held
  // back a little, so the list is still loading when the view is left however fast the machine.
  const slowManifests = async (route) => {
    await new Promise((resolve) => setTimeout(resolve, 250));
    await route.continue();
  };
  await page.route('**/v2/big/many/manifests/**', slowManifests);
  await open('');
  await page.waitForSelector('#repos li');
  const leaving = requests.length;
  await page.click('#repos a[href="#/repo/big/many"]');
  await page.waitForFunction(() => document.querySelectorAll('table.tags tbody tr').length > 0);
  await page.click('#crumbs a');
  await page.waitForSelector('#repos li');
  await page.waitForTimeout(3000);
  const afterLeaving = requests.slice(leaving).filter((u) => u.includes('/v2/big/many/manifests/')).length;
  check(afterLeaving < 50, 'a view left stops fetching', `${afterLeaving} manifests fetched`);
  await page.unroute('**/v2/big/many/manifests/**', slowManifests);

  // Link pages of the catalog are followed, on this origin only.
  mark('catalog pages');
  const firstCatalog = (link) => (route) => route.fulfill({
    status: 200, contentType: 'application/json', headers: { Link: link }, body: '{"repositories":["a"]}',
  });
  await page.route('**/v2/_catalog?n=1000', firstCatalog('</v2/_catalog?n=2&last=a>; rel="next"'));
  await open('');
  await page.waitForFunction(() => /^\d+ repositories\.$/.test(document.getElementById('repo-count').textContent));
  check(same(await texts('#repos li'), ['a', 'big/many', 'lib/app', 'lib/multi']), 'every catalog page is listed', await texts('#repos li'));
  check(requests.filter((u) => u.includes('/v2/_catalog?n=2&last=')).length === 2, 'the catalog Link is followed to the end');
  await page.unrouteAll();
  await page.route('http://other.invalid/**', (route) => route.abort());
  await page.route('**/v2/_catalog?n=1000', firstCatalog('<http://other.invalid/v2/_catalog?n=1>; rel="next"'));
  await open('');
  await page.waitForFunction(() => /^\d+ repositor(y|ies)\.$/.test(document.getElementById('repo-count').textContent));
  check(!requests.some((u) => u.includes('other.invalid')), 'a Link to another origin is not followed');
  await page.unrouteAll();

  // Failures are text on the page, never a blank page.
  mark('failures');
  await open('#/repo/no/such');
  await page.waitForSelector('main .error');
  const missing = await page.textContent('main .error');
  check(missing.includes('Not found') && missing.includes('NAME_UNKNOWN'), 'an unknown repository says so', missing);
  await shot('error-not-found');
  await open('#/manifest/lib/app/nope');
  await page.waitForSelector('main .error');
  check((await page.textContent('main .error')).includes('MANIFEST_UNKNOWN'), 'an unknown tag says so');
  await open('#/repo/Not-A-Name');
  await page.waitForSelector('main .error');
  check((await page.textContent('main .error')).includes('is not a repository name'), 'a malformed address says so');
  await page.route('**/stats', (route) => route.abort('connectionrefused'));
  await page.route('**/v2/_catalog*', (route) => route.fulfill({
    status: 401, contentType: 'application/json', body: '{"errors":[{"code":"UNAUTHORIZED","message":"authentication required"}]}',
  }));
  await open('');
  await page.waitForSelector('main .error');
  await page.waitForSelector('#stats .error');
  const login = await page.textContent('main .error');
  check(login.includes('Login required') && login.includes('UNAUTHORIZED'), 'a refused login says so', login);
  const down = await page.textContent('#stats .error');
  check(down.includes('could not be reached'), 'a failed fetch says so', down);
  check(await page.textContent('#repo-count') === 'The repository list could not be read.', 'a failed list claims no empty registry',
    await page.textContent('#repo-count'));
  await shot('error-login');
  await page.unrouteAll();

  mark('done');
  check(pageErrors.length === 0, 'no script error on any view', pageErrors);
  check(dialogs.length === 0, 'no dialog opened', dialogs);
} catch (error) {
  check(false, 'the checks ran to the end', String(error && error.stack ? error.stack : error));
  await shot('failure').catch(() => {});
} finally {
  await browser.close();
  clearTimeout(deadline);
}
console.log(`browser checks: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
