// DOM building for the page: elements made with createElement and filled with text nodes only,
// so nothing a registry stores is ever parsed as markup; copy buttons and error notes.

// An element with properties and children. Children that are not nodes become text nodes.
// Attribute values are never parsed as markup; `href` is only ever given page-built routes.
export function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = String(value);
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, String(value));
  }
  add(node, ...children);
  return node;
}

// Appends children: nodes as they are, anything else as text; null, undefined and false skipped.
export function add(node, ...children) {
  for (const child of children.flat(Infinity)) {
    if (child === null || child === undefined || child === false) continue;
    node.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return node;
}

export function clear(node) {
  node.replaceChildren();
  return node;
}

// Puts text on the clipboard: the asynchronous clipboard where the page may use it (secure
// origins), else a selected, read-only text area and the copy command (plain http elsewhere).
export async function copyText(text) {
  try {
    if (navigator.clipboard && window.isSecureContext) {
      await navigator.clipboard.writeText(text);
      return true;
    }
  } catch {
    // fall through to the older way
  }
  const area = el('textarea', { readonly: '', class: 'offscreen', 'aria-hidden': 'true' });
  area.value = text;
  document.body.append(area);
  area.select();
  let done = false;
  try {
    done = document.execCommand('copy');
  } catch {
    done = false;
  }
  area.remove();
  return done;
}

// A small button that copies `text` and says so for a moment.
export function copyButton(text, what = 'text') {
  const button = el('button', { type: 'button', class: 'copy', title: `Copy ${what}`, 'data-copy': text }, 'Copy');
  button.addEventListener('click', async () => {
    const ok = await copyText(text);
    button.textContent = ok ? 'Copied' : 'Copy failed';
    setTimeout(() => { button.textContent = 'Copy'; }, 1500);
  });
  return button;
}

// A line of code text with its copy button.
export function copyable(text, what, cls = '') {
  return el('span', { class: `copyable ${cls}`.trim() }, el('code', {}, text), copyButton(text, what));
}

// What a failed request or a broken document says, as text: the status and the registry's own
// error code and message where it sent one.
export function errorNote(error, context = '') {
  const status = error && typeof error.status === 'number' ? error.status : null;
  let text;
  if (status === 401) text = 'Login required';
  else if (status === 403) text = 'Access denied';
  else if (status === 404) text = 'Not found';
  else if (status === 0) text = 'The registry could not be reached';
  else if (status) text = `The registry answered ${status}`;
  else text = 'Something went wrong';
  const detail = error && error.message ? error.message : String(error);
  return el('p', { class: 'error', role: 'alert' }, context ? `${context}: ` : '', `${text}. ${detail}`);
}

// A definition list of [label, value] pairs; values may be nodes or text.
export function facts(pairs) {
  const list = el('dl', { class: 'facts' });
  for (const [label, value] of pairs) {
    if (value === undefined || value === null || value === '') continue;
    add(list, el('dt', {}, label), el('dd', {}, value));
  }
  return list;
}
