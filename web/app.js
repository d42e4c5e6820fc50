// The page's entry: routes the address's fragment to a view (repositories, a repository, a
// manifest), shows the storage statistics, and turns any failure into text on the page.
import { catalog, stats, validName, validRef } from './api.js';
import { add, clear, el, errorNote } from './dom.js';
import { bytes, count } from './format.js';
import { renderManifest } from './manifest.js';
import { renderRepository } from './repository.js';

// Names listed at most at once; a filter narrows longer lists.
const SHOWN_NAMES = 500;

const view = document.getElementById('view');
const crumbs = document.getElementById('crumbs');
const statsPanel = document.getElementById('stats');

async function showStats() {
  let doc;
  try {
    doc = await stats();
  } catch (error) {
    add(clear(statsPanel), errorNote(error, 'Statistics'));
    return;
  }
  const item = (label, value, id) => el('div', { class: 'stat', 'data-stat': id }, el('span', { class: 'value' }, value), el('span', { class: 'label' }, label));
  const num = (v) => (Number.isSafeInteger(v) ? String(v) : 'unknown');
  add(clear(statsPanel),
    item('repositories', num(doc.repositories), 'repositories'),
    item('tags', num(doc.tags), 'tags'),
    item('blobs', num(doc.blobs), 'blobs'),
    item('stored', bytes(doc.blob_bytes), 'bytes'),
    item(`open uploads (${bytes(doc.upload_bytes)})`, num(doc.active_uploads), 'uploads'));
}

function renderRepositories() {
  document.title = 'Repositories — Registry';
  const names = [];
  const filter = el('input', { type: 'search', id: 'filter', placeholder: 'Filter repositories', 'aria-label': 'Filter repositories', autocomplete: 'off' });
  const list = el('ul', { class: 'repos', id: 'repos' });
  const status = el('p', { class: 'note', id: 'repo-count' }, 'Loading repositories…');
  let complete = false;
  let failed = false;
  add(clear(view), el('h1', {}, 'Repositories'), filter, status, list);

  const draw = () => {
    const needle = filter.value.trim().toLowerCase();
    const matching = needle ? names.filter((n) => n.includes(needle)) : names;
    clear(list);
    for (const name of matching.slice(0, SHOWN_NAMES)) add(list, el('li', {}, el('a', { href: `#/repo/${name}` }, name)));
    let line = needle ? `${matching.length} of ${count(names.length, 'repository', 'repositories')} match` : count(names.length, 'repository', 'repositories');
    if (matching.length > SHOWN_NAMES) line += `; the first ${SHOWN_NAMES} are shown, narrow the filter for the rest`;
    if (!complete) line += '; loading more…';
    if (failed && !names.length) status.textContent = 'The repository list could not be read.';
    else status.textContent = names.length || !complete ? `${line}.` : 'The registry holds no repositories yet.';
  };
  filter.addEventListener('input', draw);
  catalog((page) => {
    names.push(...page);
    draw();
  }).then(() => {
    complete = true;
    draw();
  }, (error) => {
    complete = true;
    failed = true;
    draw();
    status.after(errorNote(error, 'Repository list'));
  });
  filter.focus();
}

function crumb(...parts) {
  clear(crumbs);
  parts.forEach(([label, href], i) => {
    if (i) add(crumbs, el('span', { class: 'sep' }, ' / '));
    add(crumbs, href ? el('a', { href }, label) : el('span', {}, label));
  });
}

// #/ lists the repositories, #/repo/<name> one repository, #/manifest/<name>/<tag or digest>
// one manifest. A name holds slashes; a reference never does.
function route() {
  let hash = window.location.hash.replace(/^#\/?/, '');
  try {
    hash = decodeURIComponent(hash);
  } catch {
    hash = '\u0000';
  }
  if (hash === '') {
    crumb(['Repositories']);
    renderRepositories();
    return;
  }
  if (hash.startsWith('repo/')) {
    const name = hash.slice(5);
    crumb(['Repositories', '#/'], [name]);
    if (!validName(name)) return showBadAddress(`"${name}" is not a repository name`);
    renderRepository(view, name);
    return;
  }
  if (hash.startsWith('manifest/')) {
    const rest = hash.slice(9);
    const cut = rest.lastIndexOf('/');
    const name = rest.slice(0, Math.max(cut, 0));
    const ref = rest.slice(cut + 1);
    crumb(['Repositories', '#/'], [name, `#/repo/${name}`], [ref]);
    if (!validName(name) || !validRef(ref)) return showBadAddress(`"${rest}" names no repository and tag or digest`);
    renderManifest(view, name, ref);
    return;
  }
  crumb(['Repositories', '#/']);
  return showBadAddress(`nothing lives at "#/${hash}"`);
}

function showBadAddress(message) {
  add(clear(view), el('p', { class: 'error', role: 'alert' }, `This address shows nothing: ${message}.`), el('p', {}, el('a', { href: '#/' }, 'All repositories')));
}

// Whatever slipped past a view's own handling still ends up as text, never a blank page.
window.addEventListener('unhandledrejection', (event) => add(view, errorNote(event.reason, 'Unexpected failure')));
window.addEventListener('error', (event) => add(view, errorNote(event.error || event.message, 'Unexpected failure')));
window.addEventListener('hashchange', () => {
  route();
  window.scrollTo(0, 0);
});
route();
showStats();
