// A repository's view: its tags one page at a time, each row filled in as its manifest arrives
// with digest, media type, size and platforms, creation time and the pull commands.
import { limiter, tagsPage } from './api.js';
import { add, clear, copyButton, copyable, el, errorNote } from './dom.js';
import { bytes, count, created, exact, shortDigest } from './format.js';
import { summarize } from './summary.js';

// Tags asked for per page: the first page renders at once, later ones on demand.
export const TAG_PAGE = 100;

const manifestHref = (name, ref) => `#/manifest/${name}/${ref}`;

function platformLines(summary) {
  return summary.entries.map((entry) => el('div', { class: 'platform' },
    el('span', { class: 'plat' }, entry.platform || (summary.index ? 'unknown platform' : '—')),
    summary.index ? el('span', { class: 'size', title: exact(entry.size) }, ` ${bytes(entry.size)}`) : null,
    entry.error ? el('span', { class: 'error inline' }, ` (${entry.error.message})`) : null));
}

function fill(row, name, tag, summary) {
  const [, digestCell, typeCell, sizeCell, platCell, createdCell, pullCell] = row.children;
  clear(digestCell);
  if (summary.digest) {
    add(digestCell, el('a', { href: manifestHref(name, summary.digest), title: summary.digest, class: 'digest' }, shortDigest(summary.digest)),
      copyButton(summary.digest, 'digest'));
  } else {
    add(digestCell, '—');
  }
  typeCell.textContent = summary.mediaType || 'unknown';
  if (summary.artifactType) add(typeCell, el('div', { class: 'sub' }, `artifact: ${summary.artifactType}`));
  if (summary.index) {
    const total = summary.entries.reduce((t, e) => (t === null || e.size === null ? null : t + e.size), 0);
    sizeCell.textContent = `${count(summary.entries.length, 'platform', 'platforms')}, ${bytes(total)}`;
    sizeCell.title = exact(total) ?? '';
  } else {
    sizeCell.textContent = bytes(summary.entries[0].size);
    sizeCell.title = exact(summary.entries[0].size) ?? '';
  }
  clear(platCell);
  add(platCell, platformLines(summary));
  if (summary.more) add(platCell, el('div', { class: 'sub' }, `and ${summary.more} more`));
  const times = [...new Set(summary.entries.map((e) => created(e.created)).filter(Boolean))];
  createdCell.textContent = times.join(', ') || '—';
  clear(pullCell);
  const host = window.location.host;
  add(pullCell, copyable(`${host}/${name}:${tag}`, 'pull reference by tag', 'pull'));
  if (summary.digest) add(pullCell, copyable(`${host}/${name}@${summary.digest}`, 'pull reference by digest', 'pull'));
}

function tagRow(name, tag, run) {
  const row = el('tr', { 'data-tag': tag },
    el('td', { class: 'tag' }, el('a', { href: manifestHref(name, tag) }, tag)),
    el('td', {}, '…'), el('td', {}, '…'), el('td', { class: 'num' }, '…'),
    el('td', {}, '…'), el('td', {}, '…'), el('td', {}, '…'));
  summarize(name, tag, run).then(
    (summary) => fill(row, name, tag, summary),
    (error) => {
      const cell = el('td', { colspan: 6 }, errorNote(error, `Tag ${tag}`));
      row.replaceChildren(row.children[0], cell);
    });
  return row;
}

export function renderRepository(view, name) {
  document.title = `${name} — Registry`;
  const body = el('tbody');
  const run = limiter(6, () => body.isConnected);
  const status = el('p', { class: 'note' }, 'Loading tags…');
  const more = el('button', { type: 'button', class: 'more', hidden: '' }, 'Load more tags');
  let shown = 0;
  let next = null;

  add(clear(view),
    el('h1', {}, name),
    el('p', { class: 'hint' }, 'Pull with: ', copyable(`${window.location.host}/${name}:<tag>`, 'pull reference', 'pull')),
    el('table', { class: 'tags' },
      el('thead', {}, el('tr', {}, ['Tag', 'Digest', 'Media type', 'Size', 'Platforms', 'Created', 'Pull'].map((h) => el('th', {}, h)))),
      body),
    status, more);

  const load = async (path) => {
    more.hidden = true;
    more.disabled = true;
    let page;
    try {
      page = await tagsPage(name, path, TAG_PAGE);
    } catch (error) {
      status.replaceWith(errorNote(error, `Tags of ${name}`));
      return;
    }
    for (const tag of page.tags) body.append(tagRow(name, tag, run));
    shown += page.tags.length;
    next = page.next;
    status.textContent = shown === 0 ? 'This repository has no tags.'
      : `${count(shown, 'tag', 'tags')} shown${next ? '; more on the registry' : ''}.`;
    more.hidden = !next;
    more.disabled = false;
  };
  more.addEventListener('click', () => { if (next) load(next); });
  load(null);
}
